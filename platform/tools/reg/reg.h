// reg: query, add, delete, export and import registry keys from the command line, in the forms
// and with the messages of the Windows XP tool.
#pragma once

#include <shlwapi.h>
#include <windows.h>

#include <string>
#include <vector>

namespace reg {

// The exit codes.
inline constexpr int kSuccess = 0;
inline constexpr int kFailure = 1;

using Arguments = std::vector<std::string>;

// A key named on the command line: a predefined root and the path below it.
struct KeyName {
    HKEY root = nullptr;
    std::string rootName;  // the long form, as the output shows it
    std::string path;      // without leading or trailing backslashes
    std::string Full() const { return path.empty() ? rootName : rootName + "\\" + path; }
};

// Parses "HKLM\Software\..." (short or long root names, any case). False for a remote or
// malformed name.
bool ParseKeyName(const std::string& text, KeyName& key);
// The same with the long root names alone, as .reg files write them.
bool ParseRootedName(const std::string& text, KeyName& key);

// Messages, on the standard streams as the Windows tool writes them.
int Succeeded();
int Failed(LONG error);
int InvalidSyntax(const std::string& operation);
int InvalidKeyName(const std::string& operation);
// Asks a yes/no question on the console; true for an answer starting with Y.
bool Confirm(const std::string& question);

// Equal without regard to ASCII case.
bool SameText(const std::string& a, const std::string& b);
// Switches: "/v" or "-v", any case.
bool IsSwitch(const std::string& argument, const char* name);

// Value types by name and back.
bool TypeFromName(const std::string& name, DWORD& type);
std::string TypeName(DWORD type);
// The data column of `reg query`.
std::string FormatData(DWORD type, const std::vector<BYTE>& data);

// A value read through the registry calls.
struct Value {
    std::string name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};
LONG ReadValues(HKEY key, std::vector<Value>& values);
LONG ReadSubkeys(HKEY key, std::vector<std::string>& names);

// Windows-1252 text and UTF-16LE bytes, as .reg files carry string data.
std::vector<BYTE> AnsiToUtf16Le(const std::vector<BYTE>& ansi);
std::vector<BYTE> Utf16LeToAnsi(const std::vector<BYTE>& wide);
std::string Utf8ToAnsi(const std::string& utf8);

int Query(const Arguments& arguments);
int Add(const Arguments& arguments);
int Delete(const Arguments& arguments);
int Export(const Arguments& arguments);
int Import(const Arguments& arguments);

}  // namespace reg
