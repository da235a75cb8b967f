// A scripted wire-protocol server (tests/store/mock_server.py) started by the test that
// needs it: listens on a free loopback address, logs the commands it answers, and is
// stopped when the object goes out of scope. A script that does not come up fails the
// test with its output instead of hanging it.
#ifndef BROLIX_TESTS_SUPPORT_MOCK_SERVER_H
#define BROLIX_TESTS_SUPPORT_MOCK_SERVER_H

#include "tests/support/test_env.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace testenv {

class ScriptedServer {
public:
    ScriptedServer() = default;
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;
    ~ScriptedServer() { stop(); }

    // Starts the script with a configuration (JSON, see the script). False, with a test
    // failure carrying the script's output, when it is not ready within the timeout.
    bool start(const std::string& config_json, int timeout_ms = 15000)
    {
        stop();
        lines.clear();
        pending.clear();
        listen_address.clear();
        int in_pipe[2], out_pipe[2];
        if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0) {
            ADD_FAILURE() << "pipe: " << std::strerror(errno);
            return false;
        }
        std::string script = source_dir() + "/tests/store/mock_server.py";
        // The scripted servers live on 127.0.0.14 and up; the script takes the first free one.
        std::vector<std::string> args = {"/usr/bin/python3", script, config_json};
        int first = 14 + static_cast<int>(getpid() % 20);
        for (int i = 0; i < 26; ++i)
            args.push_back("127.0.0." + std::to_string(14 + (first - 14 + i) % 26));
        pid = fork();
        if (pid == 0) {
            dup2(in_pipe[0], 0);
            dup2(out_pipe[1], 1);
            dup2(out_pipe[1], 2);
            close(in_pipe[1]);
            close(out_pipe[0]);
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in_pipe[0]);
        close(out_pipe[1]);
        to_script = in_pipe[1];
        from_script = out_pipe[0];
        fcntl(from_script, F_SETFL, fcntl(from_script, F_GETFL) | O_NONBLOCK);

        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < deadline) {
            if (!read_lines(100))
                break; // the script ended
            for (const std::string& line : lines)
                if (line.rfind("ready ", 0) == 0) {
                    listen_address = line.substr(6);
                    return true;
                }
        }
        std::string output;
        for (const std::string& line : lines)
            output += line + "\n";
        output += pending;
        stop();
        ADD_FAILURE() << "scripted server did not start; its output:\n" << output;
        return false;
    }

    const std::string& address() const { return listen_address; }

    // The JSON of every command answered so far, in order.
    std::vector<std::string> commands()
    {
        read_lines(50);
        std::vector<std::string> out;
        for (const std::string& line : lines)
            if (line.rfind("command ", 0) == 0)
                out.push_back(line.substr(8));
        return out;
    }

    // How many commands answered so far name `name` as their command.
    int count(const std::string& name)
    {
        int n = 0;
        for (const std::string& c : commands())
            if (c.rfind("{\"" + name + "\":", 0) == 0)
                ++n;
        return n;
    }

    void stop()
    {
        if (to_script >= 0)
            close(to_script);
        to_script = -1;
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        pid = -1;
        if (from_script >= 0)
            close(from_script);
        from_script = -1;
    }

private:
    // Reads what the script wrote, waiting at most wait_ms for the first bytes.
    // False when the script has closed its output.
    bool read_lines(int wait_ms)
    {
        if (from_script < 0)
            return false;
        pollfd p{from_script, POLLIN, 0};
        if (poll(&p, 1, wait_ms) <= 0)
            return true;
        char buffer[65536];
        for (;;) {
            ssize_t n = read(from_script, buffer, sizeof buffer);
            if (n == 0)
                return false;
            if (n < 0)
                return true;
            pending.append(buffer, static_cast<size_t>(n));
            size_t end;
            while ((end = pending.find('\n')) != std::string::npos) {
                lines.push_back(pending.substr(0, end));
                pending.erase(0, end + 1);
            }
        }
    }

    pid_t pid = -1;
    int to_script = -1;
    int from_script = -1;
    std::string listen_address;
    std::string pending;
    std::vector<std::string> lines;
};

} // namespace testenv

#endif
