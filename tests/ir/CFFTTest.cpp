int placeholder_CFFTTest();
