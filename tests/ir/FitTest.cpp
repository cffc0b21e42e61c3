int placeholder_FitTest();
