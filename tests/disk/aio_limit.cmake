# These tests use up most of the machine-wide AIO limit for a moment: no
# other test of the run may need an AIO context meanwhile.
set(TEST_EXTRA_PROPERTIES RUN_SERIAL TRUE)
