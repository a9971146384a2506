// The programs built in this tree, as the tests run them. Their paths are compiled into the support
// library; a test that runs one names it in the NEEDS of its zet_e2e_test() so that it is built first.
#pragma once

namespace zet_test::bin {

// Constants, so that they are ready before any test's own static objects are made.
extern const char* const zet;
extern const char* const orbis_scand;
extern const char* const zetctl;
extern const char* const fake_scand; // the scripted fake service as a process of its own

} // namespace zet_test::bin
