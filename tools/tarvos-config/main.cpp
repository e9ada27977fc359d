// tarvos-config: reads and edits configuration files (XML or flat lines) from the command line.
//
// Every change is saved through the file backend: the new text goes to "<file>.tmp", which
// replaces the file by a rename only once it is complete and on disk, so an interrupted or failed
// command leaves the old file as it was.
//
// Exit status: 0 success, 1 the path does not exist, 2 a usage error or a file that cannot be
// read, parsed or written. Every failure prints one line on standard error naming the file.

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tarvos/core/Exception.h"
#include "tarvos/core/Ref.h"
#include "tarvos/core/StringWriter.h"
#include "tarvos/service/Config.h"
#include "tarvos/service/ConfigBase.h"
#include "tarvos/service/ConfigFactory.h"
#include "tarvos/service/FlatConfigImpl.h"
#include "tarvos/service/XmlConfigImpl.h"
#include "tarvos/xml/XMLParser.h"

namespace {

using Tarvos::Ref;
using Tarvos::Service::Config;
using Tarvos::Service::ConfigBase;
using Tarvos::Service::FlatConfigImpl;
using Tarvos::Service::XmlConfigImpl;

constexpr char kProgram[] = "tarvos-config";

constexpr int kSuccess = 0;
constexpr int kPathMissing = 1;
constexpr int kFailure = 2;

constexpr char kUsage[] =
    "Usage: tarvos-config [--xml | --flat] COMMAND FILE [ARGUMENTS]\n"
    "\n"
    "Reads and edits Tarvos configuration files. A file is XML when its name ends in \".xml\",\n"
    "otherwise flat lines of the form:  /a/b[key] = \"value\"\n"
    "\n"
    "Commands:\n"
    "  get FILE PATH           Prints the value at PATH and a line feed.\n"
    "                          Example: tarvos-config get app.xml tarvos/threadpool/TaskMax\n"
    "  set FILE PATH VALUE     Sets PATH to VALUE, creating the path (and FILE) as needed.\n"
    "                          Example: tarvos-config set app.conf app/shutdownWaitTimeInSecs 30\n"
    "  remove FILE PATH        Removes PATH with everything below it, and the ancestors that\n"
    "                          are left empty.\n"
    "                          Example: tarvos-config remove app.xml plugins/plugin[0002]\n"
    "  list FILE [PATH]        Prints the names of PATH's children (\"name\" or \"name[key]\"),\n"
    "                          one per line; without PATH those of the root.\n"
    "                          Example: tarvos-config list app.xml plugins\n"
    "  dump FILE               Prints the whole tree in flat form.\n"
    "                          Example: tarvos-config dump app.xml\n"
    "  convert IN OUT          Writes the tree of IN to OUT in OUT's format.\n"
    "                          Example: tarvos-config convert app.xml app.conf\n"
    "  check FILE              Loads FILE and reports problems; for a flat file prints the\n"
    "                          number of malformed lines, which loading skips.\n"
    "                          Example: tarvos-config check app.conf\n"
    "\n"
    "PATH is slash-separated; an element is a name or name[key]: a/b[k]/c.\n"
    "\n"
    "Options:\n"
    "  --xml, --flat           The format of the next FILE on the command line, whatever its\n"
    "                          name. Example: tarvos-config convert --flat app.cfg --xml app.cfgx\n"
    "  --                      Everything after it is an operand (for values that begin with\n"
    "                          \"--\"). Example: tarvos-config set app.conf a/b -- --verbose\n"
    "  -h, --help              Prints this text.\n"
    "\n"
    "Changes are written to FILE.tmp and renamed over FILE once complete, so FILE is never left\n"
    "half-written.\n"
    "\n"
    "Exit status: 0 success; 1 PATH does not exist; 2 usage error, or a file that cannot be\n"
    "read, parsed or written (with a message on standard error).\n";

// A failure that ends the program with `status` after printing `message`.
struct Failure {
    int status;
    std::string message;
};

enum class Format { ByName, Xml, Flat };

struct Operand {
    std::string text;
    Format format;
};

// One line: the line breaks of an exception text become blanks.
std::string OneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

[[noreturn]] void Fail(int status, const std::string& file, const std::string& problem) {
    throw Failure{status, file.empty() ? problem : file + ": " + problem};
}

[[noreturn]] void UsageError(const std::string& problem) {
    throw Failure{kFailure, problem + " (see tarvos-config --help)"};
}

bool EndsWithXml(const std::string& name) {
    if (name.size() < 4) {
        return false;
    }
    std::string suffix = name.substr(name.size() - 4);
    for (char& c : suffix) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return suffix == ".xml";
}

// A configuration file named on the command line, with its format decided.
class ConfigFile {
public:
    explicit ConfigFile(const Operand& operand)
        : _path(operand.text),
          _xml(operand.format == Format::Xml ||
               (operand.format == Format::ByName && EndsWithXml(operand.text))) {
        if (_xml) {
            Tarvos::Service::CreateXmlFileConfig(_path, _config);
        } else {
            Tarvos::Service::CreateFlatFileConfig(_path, _config);
        }
        _config->GetRootView(_root);
    }

    const std::string& Path() const { return _path; }
    bool IsXml() const { return _xml; }
    Config& Get() { return *_config; }
    Config::View& Root() { return *_root; }
    const Ref<Config::View>& RootRef() { return _root; }
    ConfigBase& Base() { return dynamic_cast<ConfigBase&>(*_config); }

    // Reads the file; a missing file is an empty tree when `missingIsEmpty`.
    void Load(bool missingIsEmpty) {
        if (missingIsEmpty) {
            struct stat status {};
            if (::stat(_path.c_str(), &status) != 0 && errno == ENOENT) {
                return;
            }
        }
        try {
            _config->Load();
        } catch (const Tarvos::Xml::XMLParseException& e) {
            Fail(kFailure, _path,
                 "line " + std::to_string(e.GetLineNumber()) + ": " + OneLine(e.GetMessage()));
        } catch (const Tarvos::Exception& e) {
            std::string where;
            if (auto* flat = dynamic_cast<FlatConfigImpl*>(_config.Get())) {
                if (flat->GetFailedLine() > 0) {
                    where = "line " + std::to_string(flat->GetFailedLine()) + ": ";
                }
            }
            Fail(kFailure, _path, where + OneLine(e.GetMessage()));
        }
    }

    int32_t MalformedLines() const {
        const auto* flat = dynamic_cast<const FlatConfigImpl*>(_config.Get());
        return flat != nullptr ? flat->GetMalformedLineCount() : 0;
    }

    // Writes the tree back; a flat file's skipped lines are gone from it afterwards.
    void Save(const ConfigFile& source) {
        if (const int32_t skipped = source.MalformedLines()) {
            std::fprintf(stderr,
                         "%s: %s: warning: %d malformed lines were skipped and are not written\n",
                         kProgram, source.Path().c_str(), static_cast<int>(skipped));
        }
        try {
            _config->Save();
        } catch (const Tarvos::Exception& e) {
            Fail(kFailure, _path, OneLine(e.GetMessage()));
        }
    }

private:
    const std::string _path;
    const bool _xml;
    Ref<Config> _config;
    Ref<Config::View> _root;
};

void WriteOut(std::string_view text) {
    if (!text.empty() && std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
        Fail(kFailure, "standard output", std::strerror(errno));
    }
}

// Runs a tree operation whose exceptions are problems of `path` in `file`.
template <class Action>
auto OnPath(ConfigFile& file, const std::string& path, Action action) {
    try {
        return action();
    } catch (const Tarvos::Exception& e) {
        Fail(kFailure, file.Path(), path + ": " + OneLine(e.GetMessage()));
    }
}

int Get(ConfigFile& file, const std::string& path) {
    file.Load(false);
    std::string value;
    const bool found = OnPath(file, path, [&] { return file.Root().GetString(path, value); });
    if (!found) {
        if (OnPath(file, path, [&] { return file.Root().Exists(path); })) {
            Fail(kPathMissing, file.Path(), path + ": has no value (it has children)");
        }
        Fail(kPathMissing, file.Path(), path + ": does not exist");
    }
    value.push_back('\n');
    WriteOut(value);
    return kSuccess;
}

int Set(ConfigFile& file, const std::string& path, const std::string& value) {
    file.Load(true);
    OnPath(file, path, [&] { file.Root().Set(path, value); });
    file.Save(file);
    return kSuccess;
}

int Remove(ConfigFile& file, const std::string& path) {
    file.Load(false);
    if (!OnPath(file, path, [&] { return file.Root().Remove(path); })) {
        Fail(kPathMissing, file.Path(), path + ": does not exist");
    }
    file.Save(file);
    return kSuccess;
}

int List(ConfigFile& file, const std::string& path) {
    file.Load(false);
    std::vector<std::string> names;
    if (!OnPath(file, path, [&] { return file.Root().GetChildNames(path, names); })) {
        Fail(kPathMissing, file.Path(), path + ": does not exist");
    }
    std::string text;
    for (const std::string& name : names) {
        text.append(name).push_back('\n');
    }
    WriteOut(text);
    return kSuccess;
}

int Dump(ConfigFile& file) {
    file.Load(false);
    Ref<Tarvos::StringWriter> text;
    Tarvos::CreateStringWriter(text);
    try {
        FlatConfigImpl::WriteLines(*file.Base().GetRoot(), *text);
    } catch (const Tarvos::Exception& e) {
        Fail(kFailure, file.Path(), OneLine(e.GetMessage()));
    }
    WriteOut(text->ToString());
    return kSuccess;
}

int Convert(ConfigFile& in, ConfigFile& out) {
    in.Load(false);
    try {
        out.Root().CopyFrom("", in.RootRef());
    } catch (const Tarvos::Exception& e) {
        Fail(kFailure, out.Path(), OneLine(e.GetMessage()));
    }
    auto* const from = dynamic_cast<XmlConfigImpl*>(&in.Get());
    auto* const to = dynamic_cast<XmlConfigImpl*>(&out.Get());
    if (from != nullptr && to != nullptr) {
        to->SetRootElementName(from->GetRootElementName());
    }
    out.Save(in);
    return kSuccess;
}

int Check(ConfigFile& file) {
    file.Load(false);
    if (file.IsXml()) {
        WriteOut("root element: " + dynamic_cast<XmlConfigImpl&>(file.Get()).GetRootElementName() +
                 "\n");
    } else {
        WriteOut("malformed lines: " + std::to_string(file.MalformedLines()) + "\n");
    }
    return kSuccess;
}

struct Command {
    const char* name;
    size_t minOperands;  // after the command name
    size_t maxOperands;
    size_t fileOperands;  // the first operands that name files
};

constexpr Command kCommands[] = {
    {"get", 2, 2, 1},  {"set", 3, 3, 1},     {"remove", 2, 2, 1}, {"list", 1, 2, 1},
    {"dump", 1, 1, 1}, {"convert", 2, 2, 2}, {"check", 1, 1, 1},
};

int Run(int argc, char** argv) {
    // Operands in order; a format option waits for the next operand that names a file, which is
    // only known once the command is: so remember where each option stood.
    std::vector<std::string> operands;
    std::vector<std::pair<size_t, Format>> formatOptions;  // (index of the next operand, format)
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (!optionsEnded && argument.size() > 1 && argument[0] == '-') {
            if (argument == "--") {
                optionsEnded = true;
            } else if (argument == "-h" || argument == "--help") {
                WriteOut(kUsage);
                return kSuccess;
            } else if (argument == "--xml" || argument == "--flat") {
                formatOptions.emplace_back(operands.size(),
                                           argument == "--xml" ? Format::Xml : Format::Flat);
            } else if (argument.compare(0, 2, "--") == 0) {
                // Single-dash words such as "-5" are operands (values); "--word" is an option.
                UsageError("unknown option " + argument);
            } else {
                operands.push_back(argument);
            }
            continue;
        }
        operands.push_back(argument);
    }
    if (operands.empty()) {
        UsageError("no command");
    }
    const Command* command = nullptr;
    for (const Command& candidate : kCommands) {
        if (operands[0] == candidate.name) {
            command = &candidate;
        }
    }
    if (command == nullptr) {
        UsageError("unknown command " + operands[0]);
    }
    const size_t count = operands.size() - 1;
    if (count < command->minOperands || count > command->maxOperands) {
        UsageError(std::string("wrong number of arguments for ") + command->name);
    }

    // Operand 1 .. fileOperands name files; each format option applies to the first of them at
    // or after its position.
    std::vector<Operand> files;
    for (size_t i = 1; i <= command->fileOperands; ++i) {
        files.push_back({operands[i], Format::ByName});
    }
    size_t nextFile = 0;
    for (const auto& [position, format] : formatOptions) {
        const size_t first = position <= 1 ? 0 : position - 1;
        if (first >= files.size() || first < nextFile) {
            UsageError("--xml and --flat must stand before the FILE they apply to");
        }
        files[first].format = format;
        nextFile = first + 1;
    }

    ConfigFile file(files[0]);
    const std::string& name = command->name;
    if (name == "get") {
        return Get(file, operands[2]);
    }
    if (name == "set") {
        return Set(file, operands[2], operands[3]);
    }
    if (name == "remove") {
        return Remove(file, operands[2]);
    }
    if (name == "list") {
        return List(file, count == 2 ? operands[2] : std::string());
    }
    if (name == "dump") {
        return Dump(file);
    }
    if (name == "convert") {
        ConfigFile out(files[1]);
        return Convert(file, out);
    }
    return Check(file);
}

}  // namespace

int main(int argc, char** argv) {
    int status;
    try {
        status = Run(argc, argv);
        if (std::fflush(stdout) != 0) {
            Fail(kFailure, "standard output", std::strerror(errno));
        }
    } catch (const Failure& failure) {
        std::fprintf(stderr, "%s: %s\n", kProgram, failure.message.c_str());
        return failure.status;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", kProgram, OneLine(e.what()).c_str());
        return kFailure;
    }
    return status;
}
