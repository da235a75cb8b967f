// A scripted wire-protocol server (tests/store/mock_server.py) started by the test that
// needs it on a free loopback address; it logs the commands it answers and stops with the
// object. A script that does not come up fails the test with its output, never hangs it.
#ifndef BROLIX_TESTS_SUPPORT_MOCK_SERVER_H
#define BROLIX_TESTS_SUPPORT_MOCK_SERVER_H

#include "tests/support/test_env.h"

#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

namespace testenv {

class ScriptedServer {
public:
    ~ScriptedServer() { stop(); }
    // Starts the script with a configuration (JSON, see the script); false, with a test
    // failure, when it is not ready within 15 s. The script ends when its input closes.
    // Without addresses it takes a free one of 127.0.0.14 to .39.
    bool start(std::string config_json, const std::vector<std::string>& addresses = {})
    {
        static int started = 0;
        stop();
        log = build_dir() + "/mock-" + std::to_string(getpid()) + "-" + std::to_string(++started) + ".log";
        for (size_t at = 0; (at = config_json.find('\'', at)) != std::string::npos; at += 4)
            config_json.replace(at, 1, "'\\''");
        std::string command = "exec /usr/bin/python3 " + source_dir() + "/tests/store/mock_server.py '" +
                              config_json + "'";
        for (int i = 0; i < 26 && addresses.empty(); ++i) // the script takes the first free one
            command += " 127.0.0." + std::to_string(14 + (getpid() + i) % 26);
        for (const std::string& address : addresses)
            command += " " + address;
        to_script = popen((command + " >" + log + " 2>&1").c_str(), "w");
        for (int wait = 0; to_script && wait < 300; ++wait, usleep(50000))
            for (const std::string& line : lines("ready "))
                return listen = line, true;
        std::ifstream text(log);
        ADD_FAILURE() << "scripted server did not start; its output:\n" << text.rdbuf();
        stop();
        return false;
    }
    const std::string& address() const { return listen; }
    std::vector<std::string> commands() const { return lines("command "); } // answered so far, as JSON
    int count(const std::string& what) const // commands of that name, or (quoted) holding that text
    {
        int n = 0;
        for (const std::string& c : commands())
            n += what.find('"') == what.npos ? c.rfind("{\"" + what + "\":", 0) == 0 : c.find(what) != c.npos;
        return n;
    }
    void stop()
    {
        if (to_script)
            pclose(to_script), std::remove(log.c_str());
        to_script = nullptr;
    }

private:
    std::vector<std::string> lines(const std::string& kind) const // whole lines only, without the kind
    {
        std::ifstream in(log);
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line) && !in.eof();)
            if (line.rfind(kind, 0) == 0)
                out.push_back(line.substr(kind.size()));
        return out;
    }
    FILE* to_script = nullptr;
    std::string log, listen;
};

} // namespace testenv

#endif
