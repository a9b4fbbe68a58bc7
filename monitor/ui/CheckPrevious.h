// One running instance per program file. The first start of a program file claims its instance
// name; a later start asks the running one to restore, raise and activate its main window, and
// ends. The name is the program's absolute path with every "/" removed, so copies installed in
// different folders do not see each other.
#pragma once

#include <QString>
#include <functional>
#include <memory>

class QLocalServer;
class QLockFile;

class TCheckPrevious {
public:
    explicit TCheckPrevious(const QString& programPath);
    ~TCheckPrevious();  // the exit hook: the name is released
    TCheckPrevious(const TCheckPrevious&) = delete;
    TCheckPrevious& operator=(const TCheckPrevious&) = delete;

    // True when another instance runs and has been asked to come forward: the caller ends at
    // once. False when this instance is registered; then a later start calls OnRestore.
    bool RestoreIfRunning(int maxInstances);
    std::function<void()> OnRestore;

    QString InstanceName() const { return Name; }
    bool Registered() const { return IsRegistered; }
    // The instance name for a program path.
    static QString InstanceNameOf(const QString& programPath);

private:
    bool Listen();
    bool AskRunningInstance();

    QString Name;
    bool IsRegistered = false;
    std::unique_ptr<QLockFile> Lock;
    std::unique_ptr<QLocalServer> Server;
};
