// zetctl's command line: a subcommand, its operands and the options it takes.
#include "ctl/commands.hpp"

#include <cerrno>
#include <cstdlib>
#include <set>

namespace ctl {

namespace {

// Options each command accepts; anything else is a usage error rather than silently ignored.
const std::set<std::string>& allowed(const std::string& command, const std::string& action) {
    static const std::set<std::string> config = {"-c"};
    static const std::set<std::string> with_json = {"-c", "--json"};
    static const std::set<std::string> test = {"-c", "--json", "--timeout"};
    static const std::set<std::string> restore = {"-c", "--to"};
    static const std::set<std::string> purge = {"-c", "--older-than", "--dry-run"};
    static const std::set<std::string> metrics = {"-c", "--output"};
    static const std::set<std::string> scan = {"-c", "--json", "--no-move"};
    static const std::set<std::string> explain = {"-c", "--json", "--user", "--program"};
    if (command == "metrics")
        return metrics;
    if (command == "scan")
        return scan;
    if (command == "selftest")
        return test;
    if (command == "explain")
        return explain;
    if (command == "status" || (command == "vault" && (action == "list" || action == "show")))
        return with_json;
    if (command == "vault" && action == "restore")
        return restore;
    if (command == "vault" && action == "purge")
        return purge;
    return config;
}

bool parse_number(const std::string& text, long* out) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    char* end = nullptr;
    long n = strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    *out = n;
    return true;
}

} // namespace

std::string parse_args(const std::vector<std::string>& argv, Args* args) {
    static const std::set<std::string> commands = {"check-config", "explain", "status", "selftest",
                                                   "vault",        "metrics", "scan"};
    static const std::set<std::string> actions = {"list", "show", "restore", "purge"};
    if (argv.size() < 2)
        return "missing command";
    args->command = argv[1];
    if (commands.count(args->command) == 0)
        return "unknown command '" + args->command + "'";
    std::size_t i = 2;
    if (args->command == "vault") {
        if (argv.size() < 3 || actions.count(argv[2]) == 0)
            return "vault needs one of list, show, restore, purge";
        args->action = argv[2];
        i = 3;
    }

    std::vector<std::string> seen;
    bool options_done = false;
    for (; i < argv.size(); i++) {
        std::string arg = argv[i];
        if (options_done || arg.size() < 2 || arg[0] != '-') {
            args->operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        std::string name = arg, value;
        bool has_value = false;
        if (auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            has_value = true;
        } else if (arg.rfind("-c", 0) == 0 && arg.size() > 2) {
            name = "-c";
            value = arg.substr(2);
            has_value = true;
        }
        if (name == "--config")
            name = "-c";
        if (!allowed(args->command, args->action).count(name))
            return "option " + name + " is not known to " + args->command +
                   (args->action.empty() ? "" : " " + args->action);
        bool takes_value = name != "--json" && name != "--dry-run" && name != "--no-move";
        if (!takes_value && has_value)
            return "option " + name + " takes no value";
        if (takes_value && !has_value) {
            if (i + 1 >= argv.size())
                return "option " + name + " needs a value";
            value = argv[++i];
        }
        long n = 0;
        if (name == "-c") {
            if (value.empty())
                return "option -c needs a file name";
            args->config = value;
        } else if (name == "--json") {
            args->json = true;
        } else if (name == "--dry-run") {
            args->dry_run = true;
        } else if (name == "--no-move") {
            args->no_move = true;
        } else if (name == "--to") {
            if (value.empty())
                return "option --to needs a path";
            args->to = value;
        } else if (name == "--user" || name == "--program") {
            if (value.empty())
                return "option " + name + " needs a value";
            (name == "--user" ? args->user : args->program) = value;
        } else if (name == "--output") {
            if (value.empty())
                return "option --output needs a file name";
            args->output = value;
        } else if (name == "--timeout") {
            if (!parse_number(value, &n) || n < 1 || n > 3600)
                return "option --timeout needs a number of seconds from 1 to 3600, not '" + value + "'";
            args->timeout = n;
        } else if (name == "--older-than") {
            if (!parse_number(value, &n) || n > 36500)
                return "option --older-than needs a number of days from 0 to 36500, not '" + value + "'";
            args->older_than = n;
        }
    }

    const std::size_t count = args->operands.size();
    if (args->command == "explain" && count == 0)
        return "explain needs at least one PATH";
    if ((args->command == "check-config" || args->command == "status" || args->command == "metrics") &&
        count != 0)
        return args->command + " takes no operands";
    if (args->command == "vault") {
        bool named = args->action == "show" || args->action == "restore";
        if (named && count != 1)
            return "vault " + args->action + " needs exactly one NAME";
        if (!named && count != 0)
            return "vault " + args->action + " takes no operands";
        if (args->action == "purge" && !args->older_than)
            return "vault purge needs --older-than DAYS";
    }
    return "";
}

} // namespace ctl
