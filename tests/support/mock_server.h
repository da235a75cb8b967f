// A scripted wire-protocol server (tests/store/mock_server.py) started by the test that
// needs it on a free loopback address; it logs the commands it answers and stops with the
// object. A script that does not come up fails the test with its output, never hangs it.
#ifndef BROLIX_TESTS_SUPPORT_MOCK_SERVER_H
#define BROLIX_TESTS_SUPPORT_MOCK_SERVER_H

#include "tests/support/test_env.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testenv {

class ScriptedServer {
public:
    ScriptedServer() = default;
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;
    ~ScriptedServer() { stop(); }

    // Starts the script with a configuration (JSON, see the script); false, with a test
    // failure, when it is not ready within the timeout.
    bool start(const std::string& config_json, int timeout_ms = 15000)
    {
        static int started = 0;
        stop();
        log = build_dir() + "/scripted-" + std::to_string(getpid()) + "-" + std::to_string(++started) + ".log";
        std::vector<std::string> args = {"/usr/bin/python3", source_dir() + "/tests/store/mock_server.py", config_json};
        for (int i = 0; i < 26; ++i) // 127.0.0.14 to .39; the script takes the first free one
            args.push_back("127.0.0." + std::to_string(14 + (getpid() + i) % 26));
        int in[2];
        if (pipe(in) != 0 || (pid = fork()) < 0)
            return false;
        if (pid == 0) { // the script ends when its standard input closes
            int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(in[0], 0), dup2(out, 1), dup2(out, 2), close(in[1]);
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        to_script = in[1];
        for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
             std::chrono::steady_clock::now() < end && waitpid(pid, nullptr, WNOHANG) == 0;) {
            for (const std::string& line : lines())
                if (line.rfind("ready ", 0) == 0)
                    return listen = line.substr(6), true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::ifstream text(log);
        ADD_FAILURE() << "scripted server did not start; its output:\n" << text.rdbuf();
        stop();
        return false;
    }
    const std::string& address() const { return listen; }

    // The JSON of every command answered so far, in order (logged before the answer).
    std::vector<std::string> commands() const
    {
        std::vector<std::string> out;
        for (const std::string& line : lines())
            if (line.rfind("command ", 0) == 0)
                out.push_back(line.substr(8));
        return out;
    }
    // How many of them are the command `name`.
    int count(const std::string& name) const
    {
        int n = 0;
        for (const std::string& c : commands())
            n += c.rfind("{\"" + name + "\":", 0) == 0;
        return n;
    }

    void stop()
    {
        if (to_script >= 0)
            close(to_script);
        if (pid > 0)
            kill(pid, SIGTERM), waitpid(pid, nullptr, 0);
        if (!log.empty())
            std::remove(log.c_str());
        to_script = pid = -1;
        log.clear();
    }

private:
    std::vector<std::string> lines() const // whole lines only
    {
        std::ifstream in(log);
        std::stringstream text;
        text << in.rdbuf();
        std::vector<std::string> out;
        std::string all = text.str();
        for (size_t at = 0, end; (end = all.find('\n', at)) != std::string::npos; at = end + 1)
            out.push_back(all.substr(at, end - at));
        return out;
    }
    pid_t pid = -1;
    int to_script = -1;
    std::string log, listen;
};

} // namespace testenv

#endif
