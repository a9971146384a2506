// fake-scand: the scripted fake scan service as a process of its own, for end-to-end runs of the daemon.
//
//   fake-scand [-r DIR] SOCKET [SCRIPT]
//
// Without SCRIPT every connection gets the standard session (welcome, then standard answers). A SCRIPT
// file holds one step per line; "session" starts the script of the next accepted connection, "fallback"
// the one for connections beyond them. Steps: "send TEXT" (C escapes \r \n \t \\ \xHH), "read",
// "delay MS", "hangup", "reset", "stall", "serve". Blank lines and lines starting with '#' are skipped.
// Runs until SIGTERM or SIGINT; with -r, then writes the bytes connection N received to DIR/N.
#include "tests/support/fake_service.hpp"

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

// Undoes the C escapes of a script's "send" text.
std::optional<std::string> unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size())
            return std::nullopt;
        switch (text[i]) {
        case 'r':
            out += '\r';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case '\\':
            out += '\\';
            break;
        case 'x':
            if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
                !std::isxdigit(static_cast<unsigned char>(text[i + 2])))
                return std::nullopt;
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
            break;
        default:
            return std::nullopt;
        }
    }
    return out;
}

// Reads a script file; false with a message on the first bad line.
bool load(const char* file, std::vector<fake::Script>& sessions, std::optional<fake::Script>& fallback) {
    std::ifstream in(file);
    if (!in) {
        std::cerr << "fake-scand: cannot open " << file << "\n";
        return false;
    }
    fake::Script* current = nullptr;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.empty() || line[0] == '#')
            continue;
        std::size_t blank = line.find(' ');
        std::string word = line.substr(0, blank),
                    rest = blank == std::string::npos ? "" : line.substr(blank + 1);
        auto bad = [&] {
            std::cerr << "fake-scand: " << file << ":" << number << ": bad line: " << line << "\n";
            return false;
        };
        if (word == "session") {
            current = &sessions.emplace_back();
            continue;
        }
        if (word == "fallback") {
            fallback.emplace();
            current = &*fallback;
            continue;
        }
        if (current == nullptr)
            return bad();
        if (word == "send") {
            auto text = unescape(rest);
            if (!text)
                return bad();
            current->push_back(fake::send(*text));
        } else if (word == "read") {
            current->push_back(fake::read_line());
        } else if (word == "delay") {
            char* end;
            long ms = std::strtol(rest.c_str(), &end, 10);
            if (rest.empty() || *end != '\0' || ms < 0)
                return bad();
            current->push_back(fake::delay(static_cast<int>(ms)));
        } else if (word == "hangup") {
            current->push_back(fake::hang_up());
        } else if (word == "reset") {
            current->push_back(fake::reset());
        } else if (word == "stall") {
            current->push_back(fake::stall());
        } else if (word == "serve") {
            current->push_back(fake::serve());
        } else {
            return bad();
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const char* record_dir = nullptr;
    int opt;
    while ((opt = getopt(argc, argv, "r:")) != -1) {
        if (opt != 'r') {
            std::cerr << "usage: fake-scand [-r DIR] SOCKET [SCRIPT]\n";
            return 2;
        }
        record_dir = optarg;
    }
    if (argc - optind < 1 || argc - optind > 2) {
        std::cerr << "usage: fake-scand [-r DIR] SOCKET [SCRIPT]\n";
        return 2;
    }
    // Signals are taken by sigwait alone, so they must be blocked before the service starts its threads.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<fake::Script> sessions;
    std::optional<fake::Script> fallback;
    if (argc - optind == 2 && !load(argv[optind + 1], sessions, fallback))
        return 1;
    fake::Service service(argv[optind], std::move(sessions), fallback ? *fallback : fake::standard_session());
    int sig;
    sigwait(&stop, &sig);
    if (record_dir != nullptr) {
        for (int i = 0; i < service.connections(); ++i) {
            std::ofstream out(std::string(record_dir) + "/" + std::to_string(i), std::ios::binary);
            out << service.received(i);
        }
    }
    return 0;
}
