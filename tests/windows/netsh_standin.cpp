// Stands in for netsh.exe under wine, whose own knows no firewall: keeps the firewall rules that
// `advfirewall firewall add rule ... program=P` and `delete rule ... program=P` make, one program
// path a line in C:\netsh-rules.txt, and every call's arguments in C:\netsh-calls.txt, for
// wine_rows.sh to read. Answers "Ok." as netsh does.

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr const wchar_t* kRules = L"C:\\netsh-rules.txt";
constexpr const wchar_t* kCalls = L"C:\\netsh-calls.txt";

std::vector<std::wstring> ReadLines(const wchar_t* path) {
    std::vector<std::wstring> lines;
    if (FILE* file = _wfopen(path, L"r, ccs=UTF-8")) {
        wchar_t line[1024];
        while (std::fgetws(line, 1024, file)) {
            std::wstring text = line;
            while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
            if (!text.empty()) lines.push_back(text);
        }
        std::fclose(file);
    }
    return lines;
}

void WriteLines(const wchar_t* path, const std::vector<std::wstring>& lines, const wchar_t* mode) {
    if (FILE* file = _wfopen(path, mode)) {
        for (const auto& line : lines) std::fwprintf(file, L"%ls\n", line.c_str());
        std::fclose(file);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring call, verb, program;
    for (int n = 1; n < argc; ++n) {
        const std::wstring argument = argv[n];
        call += (n > 1 ? L" " : L"") + argument;
        if (argument == L"add" || argument == L"delete") verb = argument;
        if (argument.rfind(L"program=", 0) == 0) program = argument.substr(8);
    }
    WriteLines(kCalls, {call}, L"a, ccs=UTF-8");
    std::vector<std::wstring> rules = ReadLines(kRules);
    if (verb == L"add") {
        rules.push_back(program);
    } else if (verb == L"delete") {
        std::vector<std::wstring> kept;
        for (const auto& rule : rules) {
            if (!program.empty() && _wcsicmp(rule.c_str(), program.c_str()) != 0) {
                kept.push_back(rule);
            }
        }
        rules = kept;
    }
    WriteLines(kRules, rules, L"w, ccs=UTF-8");
    std::printf("Ok.\n\n");
    return 0;
}
