# quorta_add_test(NAME name LABEL unit|sim|gui [RUN_SERIAL] SOURCES ... LIBS ...)
# One GoogleTest executable, registered test by test with ctest.
function(quorta_add_test)
  cmake_parse_arguments(T "RUN_SERIAL" "NAME;LABEL;TIMEOUT" "SOURCES;LIBS;ENV" ${ARGN})
  if(NOT T_LABEL)
    set(T_LABEL unit)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  set(serial FALSE)
  if(T_RUN_SERIAL)
    # Timing-sensitive links (pseudo-terminals served by threads) run alone,
    # so a loaded machine cannot push a reply past the host's read window.
    set(serial TRUE)
  endif()
  gtest_discover_tests(${T_NAME}
    PROPERTIES LABELS ${T_LABEL} TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${T_ENV}" RUN_SERIAL ${serial}
    DISCOVERY_TIMEOUT 60)
endfunction()
