# Runs one fuzzer for SECONDS from the seeds in SEEDS. New inputs go to a
# scratch corpus under WORK, so the committed seeds stay as they are; a
# crash, leak or violated property is saved under WORK and fails the run.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/corpus ${WORK}/findings)
execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -timeout=10 -rss_limit_mb=1024 -max_len=4096
          -print_final_stats=1 -artifact_prefix=${WORK}/findings/
          ${WORK}/corpus ${SEEDS}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "fuzzer finding (exit ${result}), input saved in ${WORK}/findings")
endif()
file(REMOVE_RECURSE ${WORK}/corpus)
