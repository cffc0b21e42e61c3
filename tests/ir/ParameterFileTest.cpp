int placeholder_ParameterFileTest();
