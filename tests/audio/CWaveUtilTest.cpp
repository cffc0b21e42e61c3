int placeholder_CWaveUtilTest();
