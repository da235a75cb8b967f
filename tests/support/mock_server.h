// The tests' Python helpers run as children: a scripted wire-protocol server
// (tests/store/mock_server.py) here, tools/latency_proxy.py in proxy.h. Lines go to the
// script's input, its output to a log read back line by line; every wait is bounded, so a
// script that does not come up or stays silent fails the test with its output, never hangs it.
#ifndef BROLIX_TESTS_SUPPORT_MOCK_SERVER_H
#define BROLIX_TESTS_SUPPORT_MOCK_SERVER_H

#include "tests/support/test_env.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <map>
#include <unistd.h>

namespace testenv {

class Script {
public:
    ~Script() { stop(); }
    const std::string& address() const { return listen; }
    void stop() // closes its input: the script ends and is waited for
    {
        if (to_script)
            pclose(to_script), std::remove(log.c_str());
        to_script = nullptr, taken.clear();
    }
    std::vector<std::string> lines(const std::string& kind) const // whole lines so far, without the kind
    {
        std::ifstream in(log);
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line) && !in.eof();)
            if (line.rfind(kind, 0) == 0)
                out.push_back(line.substr(kind.size()));
        return out;
    }
    // Sends line (nothing when empty); then, unless prefix is empty, the next line starting with
    // prefix that no earlier wait for that prefix returned; "" when none came within seconds.
    std::string said(const std::string& line, const std::string& prefix, int seconds = 30)
    {
        if (!line.empty() && to_script)
            std::fputs((line + "\n").c_str(), to_script), std::fflush(to_script);
        for (int wait = 0; !prefix.empty() && to_script && wait <= seconds * 50; ++wait, usleep(20000))
            if (std::vector<std::string> all = lines(prefix); all.size() > taken[prefix])
                return prefix + all[taken[prefix]++];
        return "";
    }

protected:
    // Runs the command, its output in a new log, until it prints "ready ADDRESS" once it
    // serves; false, the test failed with its output, when it says "cannot ..." or nothing within 15 s.
    bool run(const std::string& command)
    {
        static int started = 0;
        stop();
        std::signal(SIGPIPE, SIG_IGN); // a script gone fails the next wait, not the test program
        log = build_dir() + "/script-" + std::to_string(getpid()) + "-" + std::to_string(++started) + ".log";
        to_script = popen(("exec " + command + " >" + log + " 2>&1").c_str(), "we"); // no later child holds it
        for (int wait = 0; wait < 300 && lines("cannot ").empty(); ++wait, usleep(50000))
            for (const std::string& address : lines("ready "))
                return listen = address, true;
        std::ifstream text(log);
        ADD_FAILURE() << command << "\ndid not start; its output:\n" << text.rdbuf();
        stop();
        return false;
    }
    FILE* to_script = nullptr;
    std::string log, listen;
    std::map<std::string, size_t> taken; // lines returned by the waits for each prefix
};

// A scripted server: it logs the commands it answers and stops with the object.
class ScriptedServer : public Script {
public:
    // Starts the script with a configuration (JSON, see the script) on the first free address
    // (of 127.0.0.14 to .39 when none is given).
    bool start(std::string config_json, const std::vector<std::string>& addresses = {})
    {
        for (size_t at = 0; (at = config_json.find('\'', at)) != std::string::npos; at += 4)
            config_json.replace(at, 1, "'\\''");
        std::string command = "/usr/bin/python3 " + source_dir() + "/tests/store/mock_server.py '" + config_json + "'";
        for (int i = 0; i < 26 && addresses.empty(); ++i) // the script takes the first free one
            command += " 127.0.0." + std::to_string(14 + (getpid() + i) % 26);
        for (const std::string& address : addresses)
            command += " " + address;
        return run(command);
    }
    std::vector<std::string> commands() const { return lines("command "); } // answered so far, as JSON
    int count(const std::string& what) const // commands of that name, or (quoted) holding that text
    {
        int n = 0;
        for (const std::string& c : commands())
            n += what.find('"') == what.npos ? c.rfind("{\"" + what + "\":", 0) == 0 : c.find(what) != c.npos;
        return n;
    }
};

} // namespace testenv

#endif
