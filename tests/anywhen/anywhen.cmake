# The file history: its hash table, its store and its queries.
kvd_test(anywhen_htable_test SOURCES htable_test.cpp)
kvd_test(anywhen_history_test SOURCES history_test.cpp)
