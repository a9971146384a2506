// Scripted stand-in for the scan service, for faults the real one never produces: it listens on a UNIX
// stream socket, plays one script of lines, delays, garbage and hang-ups per accepted connection, each on
// its own thread, and records every byte each connection received.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fake {

struct Step;
using Script = std::vector<Step>;

struct Step {
    enum class Op { send, read_line, delay, hang_up, reset, stall, serve, generate };
    Op op;
    std::string text = {};                  // send: the bytes
    int ms = 0;                             // delay: milliseconds
    std::function<Script()> make = nullptr; // generate: makes the steps to play at that point
};

Step send(std::string bytes); // writes the bytes as they are (lines, partial lines, garbage)
Step read_line();             // waits for one whole line from the client (the connection ends on EOF)
Step delay(int ms);           // waits, but ends early when the service stops
Step hang_up();               // closes the connection; also what happens at the end of every script
Step reset(); // waits for client bytes and closes without reading them: the client reads ECONNRESET
Step stall(); // reads and records without answering until the client goes or the service stops
Step serve(); // answers every further line with the responder until the client goes
Step generate(std::function<Script()> make); // plays what `make` returns when the step is reached

// What the service does for one command line (without its LF). A hang_up in the result ends the connection.
using Responder = std::function<Script(const std::string& line)>;

// The default responder: 210/200 for EXCLUDE; for SCAN a "+" line, or a finding "Eicar-Test-Signature"
// when the path contains "infected"; 210, "VPS 12345", 200 for VPS; "501 Syntax error" for anything else.
Script standard_answer(const std::string& line);

// The welcome line and then serve(): what connections without a script of their own get.
Script standard_session();

// The path of a "SCAN <path> ..." line, unescaped.
std::string scan_path(const std::string& line);

class Service {
public:
    // Listens on `socket_path` (replacing a stale socket file) and starts accepting; `scripts` and `fallback`
    // are in place before the first connection can arrive.
    explicit Service(std::string socket_path, std::vector<Script> scripts = {},
                     Script fallback = standard_session());
    // Stops every connection thread, closes the socket and removes its file.
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Scripts for the next accepted connections, in order of acceptance; later ones get the fallback.
    void add_script(Script script);
    void set_fallback(Script script);
    void set_responder(Responder responder);

    int connections() const;           // accepted so far
    int finished() const;              // connections whose script has ended and whose socket is closed
    std::string received(int i) const; // bytes connection i received so far
    std::string received_all() const;  // bytes all connections received so far, in order of acceptance
    std::vector<std::string> lines(int i) const; // the same split after each LF (an unfinished tail included)

    const std::string& path() const { return path_; }

private:
    void accept_loop();
    void run(int index, int fd, Script script);

    std::string path_;
    int listen_fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    std::thread acceptor_;
    mutable std::mutex mutex_;
    std::vector<Script> scripts_;
    Script fallback_;
    Responder responder_;
    std::vector<std::string> received_;
    std::vector<std::thread> threads_;
    int finished_ = 0;
};

} // namespace fake
