int placeholder_ConvJobTest();
