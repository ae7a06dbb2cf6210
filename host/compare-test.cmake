# vst-compare must notice what it exists to notice: run the checker once,
# copy its folder, then spoil one text and, separately, one render.
foreach(var CHECK COMPARE PLUGIN WORK)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "pass -D${var}=...")
  endif()
endforeach()
string(REPLACE "|" ";" EMULATOR "${EMULATOR}")
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/a)
execute_process(COMMAND ${EMULATOR} ${CHECK} ${PLUGIN} ${WORK}/a RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "vst-check failed on ${PLUGIN}")
endif()

function(expect_compare name want_rc tolerance)
  execute_process(COMMAND ${EMULATOR} ${COMPARE} ${WORK}/a ${WORK}/${name} ${tolerance}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out)
  if(NOT rc EQUAL want_rc)
    message(FATAL_ERROR "${name}: vst-compare answered ${rc}, expected ${want_rc}:\n${out}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

file(COPY ${WORK}/a/ DESTINATION ${WORK}/same)
expect_compare(same 0 0)

# One program name changed.
file(COPY ${WORK}/a/ DESTINATION ${WORK}/text)
file(READ ${WORK}/text/texts.txt texts)
string(REPLACE "program 1 Hi Flange 1" "program 1 Hi Flange X" texts "${texts}")
file(WRITE ${WORK}/text/texts.txt "${texts}")
expect_compare(text 1 0)
if(NOT last_output MATCHES "texts: [0-9]+ lines, 1 differ")
  message(FATAL_ERROR "the changed text line was not reported:\n${last_output}")
endif()

# Program 6's render replaced by program 5's: fails at tolerance 0, passes
# at a tolerance wider than any sample.
file(COPY ${WORK}/a/ DESTINATION ${WORK}/audio)
file(COPY_FILE ${WORK}/a/render-05.f32 ${WORK}/audio/render-06.f32)
expect_compare(audio 1 0)
if(NOT last_output MATCHES "program  6: [0-9]+ of 65536 samples differ" OR
   NOT last_output MATCHES "program  5: identical")
  message(FATAL_ERROR "the changed render was not reported per program:\n${last_output}")
endif()
expect_compare(audio 0 1000)

# A missing render is a failure, not a pass.
file(REMOVE ${WORK}/audio/render-19.f32)
expect_compare(audio 1 1000)
file(REMOVE_RECURSE ${WORK})
