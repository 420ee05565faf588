// The command line of msistub-pack's commands (see cli.h).
#include "pack/cli.h"

#include <cstdio>

int Usage(const char* command, const std::string& message) {
  std::fprintf(stderr, "msistub-pack: error: %s\nTry 'msistub-pack %s--help'.\n", message.c_str(),
               command ? (std::string(command) + " ").c_str() : "");
  return 2;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "msistub-pack: error: %s\n", message.c_str());
  return 1;
}

namespace {
// The common options' short forms.
const char* const kShort[][2] = {{"-o", "--out"}, {"-k", "--key"}, {"-q", "--quiet"}, {"-v", "--verbose"}};

// The options every command takes besides its own.
const Option kCommonOptions[] = {
    {"--quiet", nullptr, "print nothing but errors"},
    {"--verbose", nullptr, "say more about what is found and done"},
    {"--help", nullptr, "show this help ('msistub-pack help COMMAND' too)"},
};

// "  -k, --key PUBLIC            help": the help in a column from 30 to 80, wrapped at
// blanks (a '\n' in it counts as a blank).
void AppendOptionLine(const Option& o, std::string* out) {
  enum : size_t { COLUMN = 30, WIDTH = 50 };
  std::string left = "  ";
  const char* shortForm = nullptr;
  for (const auto& s : kShort)
    if (std::string(o.name) == s[1]) shortForm = s[0];
  if (std::string(o.name) == "--help") shortForm = "-h";
  left += shortForm ? std::string(shortForm) + ", " : "    ";
  left += o.name;
  if (o.value) left += std::string(" ") + o.value;
  const std::string indent(COLUMN, ' ');
  *out += left.size() + 2 > COLUMN ? left + "\n" + indent : left + std::string(COLUMN - left.size(), ' ');
  std::string text = o.help;
  for (char& c : text)
    if (c == '\n') c = ' ';
  bool firstLine = true;
  std::string line;
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(at, end - at);
    at = end + 1;
    if (word.empty()) continue;
    if (!line.empty() && line.size() + 1 + word.size() > WIDTH) {
      *out += (firstLine ? "" : indent) + line + "\n";
      firstLine = false;
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
  }
  *out += (firstLine ? "" : indent) + line + "\n";
}
}  // namespace

bool ParseCommand(int argc, char** argv, const CommandLine& line, Args* args, std::string* error) {
  std::vector<std::string> valued, flags;
  for (const Option& o : line.options) (o.value ? valued : flags).push_back(o.name);
  return ParseArgs(argc, argv, 2, valued, flags, args, error);
}

std::string CommandHelp(const CommandLine& line) {
  std::string out = std::string("usage: msistub-pack ") + line.name + " " + line.synopsis + "\n";
  if (*line.about) out += std::string("\n") + line.about;
  out += "\noptions:\n";
  for (const Option& o : line.options) AppendOptionLine(o, &out);
  for (const Option& o : kCommonOptions) AppendOptionLine(o, &out);
  if (*line.after) out += std::string("\n") + line.after;
  return out;
}

bool ParseArgs(int argc, char** argv, int first, const std::vector<std::string>& valued,
               const std::vector<std::string>& flags, Args* args, std::string* error) {
  bool positionalOnly = false;
  for (int i = first; i < argc; ++i) {
    std::string a = argv[i];
    if (positionalOnly || a.size() < 2 || a[0] != '-' || a == "-") {
      args->positional.push_back(a);
      continue;
    }
    if (a == "--") {
      positionalOnly = true;
      continue;
    }
    if (a == "--help" || a == "-h") {
      args->help = true;
      continue;
    }
    for (const auto& s : kShort)
      if (a == s[0]) a = s[1];
    std::string value;
    bool hasValue = false;
    const size_t eq = a.find('=');
    if (eq != std::string::npos) {
      value = a.substr(eq + 1);
      a = a.substr(0, eq);
      hasValue = true;
    }
    // Every command takes --quiet and --verbose.
    bool known = false;
    if ((a == "--quiet" || a == "--verbose") && !hasValue) {
      if (!Has(*args, a.c_str())) args->flags.push_back(a);
      continue;
    }
    for (const std::string& v : valued) {
      if (a != v) continue;
      known = true;
      if (!hasValue) {
        if (i + 1 >= argc) {
          *error = "option " + a + " needs a value";
          return false;
        }
        value = argv[++i];
      }
      args->options.push_back({a, value});
    }
    for (const std::string& f : flags) {
      if (a != f) continue;
      known = true;
      if (hasValue) {
        *error = "option " + a + " takes no value";
        return false;
      }
      args->flags.push_back(a);
    }
    if (!known) {
      *error = "unknown option " + a;
      return false;
    }
  }
  if (Has(*args, "--quiet") && Has(*args, "--verbose")) {
    *error = "--quiet and --verbose contradict each other; give one";
    return false;
  }
  return true;
}

bool OneKey(const Args& args, const char* alias, std::string* path, std::string* error) {
  std::string other;
  if (!One(args, "--key", path, error) || !One(args, alias, &other, error)) return false;
  if (!path->empty() && !other.empty()) {
    *error = std::string("--key and ") + alias + " name the same key; give one";
    return false;
  }
  if (path->empty()) *path = other;
  return true;
}

std::vector<std::string> All(const Args& args, const char* name) {
  std::vector<std::string> out;
  for (const auto& o : args.options)
    if (o.first == name) out.push_back(o.second);
  return out;
}

bool One(const Args& args, const char* name, std::string* value, std::string* error) {
  const std::vector<std::string> all = All(args, name);
  if (all.size() > 1) {
    *error = std::string("option ") + name + " given more than once";
    return false;
  }
  *value = all.empty() ? std::string() : all[0];
  return true;
}

bool Has(const Args& args, const char* flag) {
  for (const auto& f : args.flags)
    if (f == flag) return true;
  return false;
}
