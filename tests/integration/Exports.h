// Every export that works on a link, callable through one signature, so table-driven tests can
// walk all of them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace integ {

struct ExportCall {
    std::string name;
    std::function<int32_t(int32_t link)> call;
    bool checks_link;  // refuses an unconnected link before sending anything
};

// The 27 exports that take a link handle, apart from Pc2Lan_Create, Pc2Lan_Delete and
// Pc2Lan_Connect.
std::vector<ExportCall> link_exports();

// The nine account and connection calls, with arguments that would succeed at level 4.
std::vector<ExportCall> account_exports();

}  // namespace integ
