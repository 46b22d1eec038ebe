-- Does not compile.
printh("never printed"
