// Other programs started by the tests and benchmarks: a plain fork and exec. The vfork-style start
// of QProcess leaves the thread checker with a wrong picture of the main thread's locks for the
// rest of the run, and every later lock looks like a race.
#pragma once

#include <sys/types.h>

#include <QString>
#include <QStringList>

namespace testsupport {

// Starts the program (a path, or a name looked up in PATH) with its standard output and error
// into outputFd. The child keeps no other descriptor of the test's, so that a program that
// outlives one test (a broker started again) holds none of its sockets, and it dies with the
// test program. -1 when it cannot fork.
pid_t StartProgram(const QString& program, const QStringList& arguments, int outputFd);
// Waits for the program's end: its exit code, or -1 when it did not exit by itself.
int WaitForProgram(pid_t child);

}  // namespace testsupport
