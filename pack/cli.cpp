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
    // The common options have short forms.
    static const char* const kShort[][2] = {
        {"-o", "--out"}, {"-k", "--key"}, {"-q", "--quiet"}, {"-v", "--verbose"}};
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
