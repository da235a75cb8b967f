// tools/latency_proxy.py in front of a FerretDB, started by the test that needs it: it counts
// the requests by command, cuts or kills at one, plays a user's roles (--grant) and holds
// requests (--hold); the script says how. It stops with the object.
#ifndef BROLIX_TESTS_SUPPORT_PROXY_H
#define BROLIX_TESTS_SUPPORT_PROXY_H

#include "tests/support/mock_server.h"

#include <sys/wait.h>

namespace testenv {

class Proxy : public Script {
public:
    // Starts it on listen:27017 (the first free address of 127.0.0.72-79 when listen is empty; the replica sets have 80-83)
    // in front of target:27017 with extra options; false, with a test failure, when it is not
    // ready within 15 s.
    bool start(const std::string& listen, const std::string& target, const std::vector<std::string>& extra = {})
    {
        std::string command = "/usr/bin/python3 " + source_dir() + "/tools/latency_proxy.py --target " + target;
        command += " --listen " + listen;
        for (int last = 72; last <= 79 && listen.empty(); ++last) // the script takes the first free one
            command += " 127.0.0." + std::to_string(last);
        for (const std::string& arg : extra)
            command += " " + arg;
        return run(command);
    }
    // With --hold: lets the held requests go up to and including the next "NAME DB" (all of
    // them when empty) and waits until it was answered (true) or the program pid ended
    // (false, reaped, its wait status in *status).
    bool until(const std::string& name_db, pid_t pid, int* status)
    {
        said(name_db.empty() ? "release" : "until " + name_db, "");
        for (int wait = 0; wait < 12000; ++wait, usleep(5000)) {
            if (!name_db.empty() && !said("", "reached ", 0).empty())
                return true;
            if (waitpid(pid, status, WNOHANG) == pid)
                return false;
        }
        ADD_FAILURE() << "neither " << name_db << " nor the end of process " << pid << " within 60 s";
        return false;
    }
    // Requests by command name since the last "reset" ("(refused) NAME DB" and "(stalled)" too).
    std::map<std::string, int> counts()
    {
        std::string line = said("counts", "counts ");
        std::map<std::string, int> by_name;
        bson_t* all = bson_new_from_json(reinterpret_cast<const uint8_t*>(line.empty() ? "{}" : &line[7]), -1, nullptr);
        bson_iter_t it;
        for (bool more = all && bson_iter_init(&it, all); more && bson_iter_next(&it);)
            by_name[bson_iter_key(&it)] = static_cast<int>(bson_iter_as_int64(&it));
        bson_destroy(all);
        return by_name;
    }
    // Requests since the last "reset", the handshakes and the marks in parentheses left out.
    int requests()
    {
        int total = 0;
        for (const auto& [name, n] : counts())
            total += name == "hello" || name == "isMaster" || name == "ismaster" || name[0] == '(' ? 0 : n;
        return total;
    }
};

} // namespace testenv

#endif
