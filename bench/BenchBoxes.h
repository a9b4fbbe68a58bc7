// What the window benchmarks share: child processes (kestemu boxes, the program) that end with
// their owner, and boxes listed in a data folder's user database as a user would have them.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <cstdlib>
#include <string>
#include <vector>

#ifndef KESTEMU_PROGRAM
#error KESTEMU_PROGRAM must name the emulator
#endif

namespace bench {

// The box clock of the window benchmarks: midday, so that the inverters have power.
constexpr const char* Box_Clock = "2024-06-20 12:30";

// A child process that ends with this object, its standard output or error read line by line.
class Child {
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (Pid > 0) {
            kill(Pid, SIGKILL);
            waitpid(Pid, nullptr, 0);
        }
        if (Output >= 0) {
            close(Output);
        }
    }

    bool Start(const std::vector<std::string>& arguments, bool captureErrors) {
        int out[2];
        if (pipe(out) != 0) {
            return false;
        }
        Pid = fork();
        if (Pid < 0) {
            return false;
        }
        if (Pid == 0) {
            dup2(out[1], captureErrors ? STDERR_FILENO : STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            std::vector<char*> argv;
            for (const std::string& argument : arguments) {
                argv.push_back(const_cast<char*>(argument.c_str()));
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        Output = out[0];
        return true;
    }

    // The next line that starts with prefix; empty at the end of the output.
    std::string WaitForLine(const std::string& prefix) {
        std::string line;
        char c = 0;
        while (read(Output, &c, 1) == 1) {
            if (c != '\n') {
                line += c;
                continue;
            }
            if (line.find(prefix) != std::string::npos) {
                return line;
            }
            line.clear();
        }
        return {};
    }

private:
    pid_t Pid = -1;
    int Output = -1;
};

// An emulated box with all three inverters; its port, or 0.
inline int StartBox(Child& box, int seed) {
    if (!box.Start({KESTEMU_PROGRAM, "--port", "0", "--quiet", "--clock", Box_Clock, "--seed",
                    std::to_string(seed)},
                   false)) {
        return 0;
    }
    const std::string line = box.WaitForLine("listening on ");
    const auto colon = line.rfind(':');
    return colon == std::string::npos ? 0 : std::atoi(line.c_str() + colon + 1);
}

// Boxes with their four modules present and on line, their inverters ticked for the live view
// (and the total too with tickTotal).
inline bool AddBoxes(const QString& database, const std::vector<int>& ports, bool tickTotal) {
    bool ok = false;
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("setup"));
        db.setDatabaseName(database);
        ok = db.open();
        QSqlQuery query(db);
        for (size_t i = 0; i < ports.size(); ++i) {
            query.prepare(
                "INSERT INTO kests (kest_name, kest_ip, kest_port, kest_username, kest_password, "
                "kest_online) VALUES (?, '127.0.0.1', ?, 'Administrator', 'admin1234', 1)");
            query.addBindValue(QStringLiteral("Box %1").arg(i + 1));
            query.addBindValue(ports[i]);
            ok = ok && query.exec();
            const QVariant kest = query.lastInsertId();
            for (int type : {128, 4, 8, 12}) {
                query.prepare(
                    "INSERT INTO modules (module_kest, module_type, module_color, "
                    "module_pattern, module_linetype, module_ispresent, module_ischecked_kwh, "
                    "module_ischecked_w) VALUES (?, ?, ?, 0, 0, 1, 0, ?)");
                query.addBindValue(kest);
                query.addBindValue(type);
                query.addBindValue(type % 22);
                query.addBindValue(type != 128 || tickTotal ? 1 : 0);
                ok = ok && query.exec();
            }
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("setup"));
    return ok;
}

}  // namespace bench
