# The geometric direction's accuracy targets, end to end through vocrin on simulated speech: free
# field and a reverberant room (numpy from Debian; the system interpreter, which has it).
add_test(NAME voice_direction_accuracy_on_simulated_speech
         COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/bench/voice/direction_accuracy.py $<TARGET_FILE:vocrin> --check --quick)
set_tests_properties(voice_direction_accuracy_on_simulated_speech PROPERTIES LABELS voice)
# Live mode's low-confidence flag on both sides: right chunks spared, wrong ones flagged; and the
# speech flag on a talker against the pauses (--directions-out of a batch run, which gives live
# mode's lines).
add_test(NAME voice_live_confidence_on_simulated_rooms
         COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/bench/voice/live_confidence.py $<TARGET_FILE:vocrin> --check --quick)
set_tests_properties(voice_live_confidence_on_simulated_rooms PROPERTIES LABELS voice)
