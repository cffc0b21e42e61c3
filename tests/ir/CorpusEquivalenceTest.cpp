int placeholder_CorpusEquivalenceTest();
