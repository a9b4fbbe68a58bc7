// The library's dynamic symbol table: exactly the 31 functions of its interface leave it, under
// the names a caller binds to, and the library carries its interface version in its SONAME.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include "Pc2Lan.h"

namespace linktest {
namespace {

const std::set<std::string> kExports = {
    "Pc2Lan_Create",
    "Pc2Lan_Delete",
    "Pc2Lan_Dll_Version",
    "Pc2Lan_Connect",
    "Pc2Lan_Disconnect",
    "Pc2Lan_Set_Com_Param",
    "Pc2Lan_Get_Com_Param",
    "Pc2Lan_Set_Session_Time",
    "Pc2Lan_Get_Session_Time",
    "Pc2Lan_Keep_Alive",
    "Pc2Lan_Get_Version",
    "Pc2Lan_Get_Serial",
    "Pc2Lan_Can_Request",
    "Pc2Lan_Get_Sleep",
    "Pc2Lan_Can_Monitor_Set_State",
    "Pc2Lan_Can_Monitor_Get_State",
    "Pc2Lan_Can_Monitor_Request",
    "Pc2Lan_Account_Numbers",
    "Pc2Lan_Account_Get_Info",
    "Pc2Lan_Account_Add",
    "Pc2Lan_Account_Modify",
    "Pc2Lan_Account_Remove",
    "Pc2Lan_Account_Update",
    "Pc2Lan_Account_Store",
    "Pc2Lan_Connection_Info",
    "Pc2Lan_Connection_Kill",
    // The loader calls keep C++ linkage; their names encode the parameter types.
    "_Z22Pc2Lan_Micro_EnterBooti",
    "_Z18Pc2Lan_Micro_EraseiPh",
    "_Z21Pc2Lan_Micro_FProgramiiPhh",
    "_Z21Pc2Lan_Micro_EProgramiiPhh",
    "_Z19Pc2Lan_Micro_ReBooti",
};

// Runs a command and gives its standard output; empty when it could not run.
std::string output_of(const std::string& command) {
    std::string text;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return text;
    }
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        text.append(buffer, n);
    }
    ::pclose(pipe);
    return text;
}

std::string joined(const std::set<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        text += "\n  " + name;
    }
    return text;
}

TEST(ExportedSymbols, ExactlyTheInterfaceFunctions) {
    std::string table = output_of(std::string("nm -D --defined-only '") + TIVREL_PATH + "'");
    ASSERT_FALSE(table.empty()) << "nm gave nothing for " << TIVREL_PATH;
    std::set<std::string> exported;
    std::set<std::string> not_functions;
    std::istringstream lines(table);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (!(fields >> address >> type >> name)) {
            continue;
        }
        name = name.substr(0, name.find('@'));
        exported.insert(name);
        if (type != "T") {
            not_functions.insert(name + " (" + type + ")");
        }
    }
    std::set<std::string> missing;
    std::set<std::string> extra;
    for (const std::string& name : kExports) {
        if (!exported.count(name)) {
            missing.insert(name);
        }
    }
    for (const std::string& name : exported) {
        if (!kExports.count(name)) {
            extra.insert(name);
        }
    }
    EXPECT_TRUE(missing.empty()) << "not exported:" << joined(missing);
    EXPECT_TRUE(extra.empty()) << "exported besides the interface:" << joined(extra);
    EXPECT_TRUE(not_functions.empty()) << "not plain functions:" << joined(not_functions);
    EXPECT_EQ(kExports.size(), 31u);
}

TEST(ExportedSymbols, SonameIsLibtivrelSo1) {
    std::string headers = output_of(std::string("objdump -p '") + TIVREL_PATH + "'");
    std::istringstream lines(headers);
    std::string line;
    std::string soname;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string key, value;
        if (fields >> key >> value && key == "SONAME") {
            soname = value;
        }
    }
    EXPECT_EQ(soname, "libtivrel.so.1");
}

TEST(ExportedSymbols, EveryExportBindsByName) {
    void* library = ::dlopen(TIVREL_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << ::dlerror();
    for (const std::string& name : kExports) {
        EXPECT_NE(::dlsym(library, name.c_str()), nullptr) << name;
    }
    EXPECT_EQ(::dlsym(library, "Pc2Lan_Dll_Version"), reinterpret_cast<void*>(&Pc2Lan_Dll_Version));
    EXPECT_EQ(::dlsym(library, "_Z18Pc2Lan_Micro_EraseiPh"),
              reinterpret_cast<void*>(&Pc2Lan_Micro_Erase))
        << "the header declares the loader calls with the exported parameter types";
    ::dlclose(library);
}

}  // namespace
}  // namespace linktest
