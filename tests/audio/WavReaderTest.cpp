int placeholder_WavReaderTest();
