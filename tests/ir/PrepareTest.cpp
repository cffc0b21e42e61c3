int placeholder_PrepareTest();
