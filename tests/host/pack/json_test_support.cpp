#include "tests/host/pack/json_test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "tests/host/pack/pack_test_support.h"

namespace korvanthelm::pack::test {
namespace {

// json.loads is strict by default: raw control characters in strings, a
// trailing comma, two documents or text after the document are errors.
constexpr char kFlatten[] = R"PY(
import json, sys
data = open(sys.argv[1], encoding='utf-8', errors='strict').read()
if not data.endswith('\n') or data.count('\n') != 1:
    sys.exit('not one line ending in a newline')
doc = json.loads(data)
def walk(path, value):
    if isinstance(value, dict):
        print(path + '{}\t' + ','.join(value.keys()))
        for key, item in value.items():
            walk((path + '/' if path else '') + key, item)
    elif isinstance(value, list):
        print(path + '#\t' + str(len(value)))
        for i, item in enumerate(value):
            walk(path + '/' + str(i), item)
    else:
        print(path + '\t' + json.dumps(value, ensure_ascii=False))
walk('', doc)
)PY";

struct PipeCloser {
    void operator()(std::FILE* pipe) const { ::pclose(pipe); }
};

}  // namespace

std::map<std::string, std::string> ParseJson(const std::string& text) {
    const TempDir dir;
    WriteFile(dir / "doc.json", text);
    WriteFile(dir / "flatten.py", kFlatten);
    const std::string command =
        std::string(KORVANTHELM_PYTHON) + " " + (dir / "flatten.py") + " " + (dir / "doc.json");
    std::string output;
    int status = -1;
    {
        std::unique_ptr<std::FILE, PipeCloser> pipe(::popen(command.c_str(), "r"));
        if (!pipe) {
            ADD_FAILURE() << "cannot run " << command;
            return {};
        }
        char buffer[4096];
        std::size_t got = 0;
        while ((got = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0) {
            output.append(buffer, got);
        }
        status = ::pclose(pipe.release());
    }
    if (status != 0) {
        ADD_FAILURE() << "not one JSON document:\n" << text;
        return {};
    }
    std::map<std::string, std::string> leaves;
    std::size_t start = 0;
    while (start < output.size()) {
        const std::size_t end = output.find('\n', start);
        const std::string line = output.substr(start, end - start);
        const std::size_t tab = line.find('\t');
        leaves[line.substr(0, tab)] = line.substr(tab + 1);
        start = end == std::string::npos ? output.size() : end + 1;
    }
    return leaves;
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

}  // namespace korvanthelm::pack::test
