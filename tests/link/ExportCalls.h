// Every export that takes a link handle, callable with plain valid arguments, with what it
// answers on an unconnected link and how it maps the box's refusal codes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace linktest {

struct ExportCall {
    std::string name = {};
    std::function<int32_t(int32_t link)> call = {};
    // Carries one command frame to the box (all but connect, disconnect and the time-outs).
    bool command = true;
    // On a created link that never connected.
    int32_t unconnected = -3;
    // Box refusal code -> result; every other negative code gives -10 while connected.
    std::map<int32_t, int32_t> refusals = {};
    // A done reply whose result word is non-zero is a refusal as well.
    bool result_word = false;
};

inline std::ostream& operator<<(std::ostream& out, const ExportCall& e) {
    return out << e.name;
}

// All exports except Pc2Lan_Create, Pc2Lan_Delete and Pc2Lan_Dll_Version.
const std::vector<ExportCall>& handle_exports();
std::vector<ExportCall> exports_where(const std::function<bool(const ExportCall&)>& wanted);
inline std::vector<ExportCall> command_exports() {
    return exports_where([](const ExportCall& e) { return e.command; });
}

int32_t translated(const ExportCall& e, int32_t box_code);

}  // namespace linktest
