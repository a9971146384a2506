// Fuzz target for orbis-scand's command reader: arbitrary bytes framed into lines and parsed as the
// server does; an accepted command, written out again with escaped fields, must parse to itself.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "scand/wire.hpp"

namespace {

[[noreturn]] void fail(const char* what, std::string_view detail) {
    std::fprintf(stderr, "invariant broken: %s\n%.*s\n", what, static_cast<int>(detail.size()),
                 detail.data());
    std::abort();
}

std::string frame(const scand::Command& cmd) {
    switch (cmd.verb) {
    case scand::Verb::Vps:
        return "VPS\n";
    case scand::Verb::DbInfo:
        return "DBINFO\n";
    case scand::Verb::VpsWait:
        return "VPSWAIT " + std::to_string(cmd.known) + "\n";
    case scand::Verb::Exclude:
        return "EXCLUDE " + scand::escape(cmd.path) + "\n";
    case scand::Verb::Scan:
    case scand::Verb::FdScan:
        break;
    }
    std::string line = (cmd.verb == scand::Verb::Scan ? "SCAN " : "FDSCAN ") + scand::escape(cmd.path);
    if (!cmd.cid.empty())
        line += " CID " + scand::escape(cmd.cid);
    if (!cmd.trigger.empty())
        line += " TRIGGER " + scand::escape(cmd.trigger);
    return line + "\r\n";
}

void check(std::string_view line) {
    const auto cmd = scand::parse_command(line);
    if (!cmd)
        return;
    if (cmd->verb == scand::Verb::Scan || cmd->verb == scand::Verb::FdScan ||
        cmd->verb == scand::Verb::Exclude) {
        if (cmd->path.empty() || cmd->path.size() > scand::max_path)
            fail("accepted a path of a length out of bounds", line);
        if (cmd->path.find('\0') != std::string::npos)
            fail("accepted a path holding a NUL byte", line);
    }
    const std::string again = frame(*cmd);
    if (scand::command_line_length(again) != again.size())
        fail("a framed command is not one line", again);
    const auto back = scand::parse_command(again);
    if (!back || back->verb != cmd->verb || back->path != cmd->path || back->cid != cmd->cid ||
        back->trigger != cmd->trigger || back->known != cmd->known)
        fail("a command written out again parses to something else", line);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    while (!rest.empty()) {
        const std::size_t n = scand::command_line_length(rest);
        if (n == 0) {
            check(rest); // an unfinished line must be refused, never read past
            break;
        }
        if (n > rest.size() || rest[n - 1] != '\n')
            fail("a framed line does not end with its line feed", rest);
        check(rest.substr(0, n));
        rest.remove_prefix(n);
    }
    return 0;
}
