// What the daemon and zetctl write alike: JSON strings that keep every byte of a file name.
#include "src/text.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

// The JSON log's escape, zetctl's too: valid UTF-8 passes, control bytes and quotes are escaped, every
// byte of an invalid sequence becomes its own \udcXX.
TEST(JsonEscape, EscapesLosslessly) {
    const struct {
        std::string in, out;
    } rows[] = {
        {"plain/path.txt", "plain/path.txt"},
        {"a\"b\\c", "a\\\"b\\\\c"},
        {std::string("\0\t\n\r\x1f\x7f", 6), "\\u0000\\u0009\\u000a\\u000d\\u001f\\u007f"},
        {"\xc3\xbc \xe2\x82\xac \xf0\x9f\x98\x80", "\xc3\xbc \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\xff\xfe", "\\udcff\\udcfe"},
        {"\xc0\xaf", "\\udcc0\\udcaf"},                       // overlong "/"
        {"\xed\xa0\x80", "\\udced\\udca0\\udc80"},            // a surrogate in UTF-8
        {"\xf4\x90\x80\x80", "\\udcf4\\udc90\\udc80\\udc80"}, // above U+10FFFF
        {"x\xe2\x82", "x\\udce2\\udc82"},                     // cut short at the end
        {"\xe2\x82x", "\\udce2\\udc82x"},                     // cut short by an ASCII byte
    };
    for (const auto& row : rows) {
        std::string out;
        json_escape(out, row.in.data(), row.in.size());
        EXPECT_EQ(out, row.out) << testing::PrintToString(row.in);
    }
}

} // namespace
