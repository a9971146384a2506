// Paths of the built programs, from the build's generator expressions.
#include "tests/support/programs.hpp"

namespace zet_test::bin {

const char* const zet = ZET_TEST_BIN_ZET;
const char* const orbis_scand = ZET_TEST_BIN_ORBIS_SCAND;
const char* const zetctl = ZET_TEST_BIN_ZETCTL;
const char* const fake_scand = ZET_TEST_BIN_FAKE_SCAND;

} // namespace zet_test::bin
