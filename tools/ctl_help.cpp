// schedulerctl's help texts and its bash completion, both made from the
// command table (tools/ctl_commands.h).
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "tools/ctl_commands.h"
#include "tools/ctl_report.h"

namespace {

// The table as a range for the loops below.
struct Table {
  const CtlCommand* first;
  size_t count;
  const CtlCommand* begin() const { return first; }
  const CtlCommand* end() const { return first + count; }
};
Table Commands() {
  Table t{nullptr, 0};
  t.first = ctlCommandTable(&t.count);
  return t;
}

constexpr char kHelpHead[] =
    "Usage: schedulerctl HOME COMMAND [ARGUMENTS]\n"
    "\n"
    "Maintains the data home of a scheduler daemon and talks to the daemon running\n"
    "on it. HOME is the data home directory, as given to the daemon.\n"
    "\n";
constexpr char kHelpFoot[] =
    "'schedulerctl HOME COMMAND --help' describes one command.\n"
    "\n"
    "Exit status: 0 success; 1 the operation failed (the data home is left as it\n"
    "was), or doctor found something; 2 bad arguments (nothing was touched); run\n"
    "exits with the module's status.\n";

// Lines of the general help's list: the summary starts at this column.
constexpr size_t kSummaryColumn = 42;
// Usage lines are wrapped to this width.
constexpr size_t kUsageWidth = 79;

// `text` broken at blanks outside brackets and quotes so that no line is
// longer than kUsageWidth (a word that is longer stays whole); continuation
// lines start at column `indent`.
std::string Wrap(const std::string& text, size_t indent) {
  std::vector<std::string> words(1);
  int depth = 0;
  bool quoted = false;
  for (char ch : text) {
    if (ch == '\'') quoted = !quoted;
    if (!quoted && ch == '[') ++depth;
    if (!quoted && ch == ']') --depth;
    if (ch == ' ' && depth == 0 && !quoted) {
      words.emplace_back();
    } else {
      words.back() += ch;
    }
  }
  std::string out = words[0];
  size_t length = out.size();
  for (size_t i = 1; i < words.size(); ++i) {
    if (length + 1 + words[i].size() > kUsageWidth) {
      out += "\n" + std::string(indent, ' ') + words[i];
      length = indent + words[i].size();
    } else {
      out += " " + words[i];
      length += 1 + words[i].size();
    }
  }
  return out;
}

// "Usage: schedulerctl HOME NAME ARGS" lines of `c`'s forms; the first line
// begins with "Usage:" when `first`.
std::string UsageLines(const CtlCommand& c, bool* first) {
  std::string out;
  for (const CtlForm& f : c.forms) {
    if (f.args == nullptr) break;
    const std::string lead = std::string(*first ? "Usage: " : "       ") + "schedulerctl HOME " +
                             c.name + (f.args[0] != '\0' ? " " : "");
    *first = false;
    // Wrapped on its own: the lead counts, continuation lines line up under
    // the first argument.
    std::string line = Wrap(lead + f.args, lead.size());
    out += line + "\n";
  }
  return out;
}

// The words of `text` in lines of at most `width` characters (a longer word
// stands alone).
std::vector<std::string> Lines(const std::string& text, size_t width) {
  std::vector<std::string> lines(1);
  std::istringstream words(text);
  for (std::string word; words >> word;) {
    if (!lines.back().empty() && lines.back().size() + 1 + word.size() > width) {
      lines.emplace_back();
    }
    lines.back() += (lines.back().empty() ? "" : " ") + word;
  }
  return lines;
}

std::string GeneralHelp() {
  std::string out = kHelpHead;
  out += "Commands:\n";
  for (const CtlCommand& c : Commands()) {
    for (const CtlForm& f : c.forms) {
      if (f.args == nullptr) break;
      std::string line = std::string("  ") + c.name + (f.args[0] != '\0' ? " " : "") + f.args;
      // The summary in the column from kSummaryColumn to kUsageWidth; on the
      // next line when the form reaches into that column.
      if (line.size() + 2 > kSummaryColumn) {
        out += line + "\n";
        line.clear();
      }
      for (const std::string& part : Lines(f.summary, kUsageWidth - kSummaryColumn)) {
        line.resize(kSummaryColumn, ' ');
        out += line + part + "\n";
        line.clear();
      }
    }
  }
  return out + "\n" + kHelpFoot;
}

std::string TopicHelp(const std::string& topic) {
  bool first = true;
  if (const CtlCommand* c = ctlFindCommand(topic)) return UsageLines(*c, &first) + "\n" + c->help;
  const CtlGroup* g = ctlFindGroup(topic);
  if (g == nullptr) return GeneralHelp();
  std::string out;
  for (const CtlCommand& c : Commands()) {
    if (ctlCommandWord(c) == topic) out += UsageLines(c, &first);
  }
  return out + "\n" + g->about;
}

}  // namespace

bool ctlIsHelpFlag(const char* word) {
  return strcmp(word, "--help") == 0 || strcmp(word, "-h") == 0;
}

int ctlHelp(int argc, char** argv) {
  std::vector<const char*> words;
  for (int i = 1; i < argc; ++i) {
    if (!ctlIsHelpFlag(argv[i])) words.push_back(argv[i]);
  }
  size_t at = 0;
  if (words.size() > at && !ctlIsCommand(words[at])) ++at;  // HOME
  std::string topic;
  if (words.size() > at && ctlIsCommand(words[at])) {
    topic = words[at];
    if (ctlFindGroup(topic) != nullptr && words.size() > at + 1 &&
        ctlFindCommand(topic + " " + words[at + 1]) != nullptr) {
      topic += std::string(" ") + words[at + 1];
    }
  }
  fputs((topic.empty() ? GeneralHelp() : TopicHelp(topic)).c_str(), stdout);
  return kCtlExitOk;
}

std::string ctlCompletion(const std::string& script) {
  std::string commands;
  std::string actions;
  std::string words;
  std::vector<std::pair<std::string, std::string>> values;  // option, kind
  for (const CtlCommand& c : Commands()) {
    const std::string command = ctlCommandWord(c);
    if ((" " + commands + " ").find(" " + command + " ") == std::string::npos) {
      commands += (commands.empty() ? "" : " ") + command;
    }
    std::istringstream options(std::string(c.options) + " " +
                               (strchr(c.narrowed, ':') ? strchr(c.narrowed, ':') + 1 : ""));
    std::string option;
    std::string plain;
    while (options >> option) {
      const size_t eq = option.find('=');
      if (eq != std::string::npos) {
        bool known = false;
        for (const auto& v : values) known = known || v.first == option.substr(0, eq);
        if (!known) values.emplace_back(option.substr(0, eq), option.substr(eq + 1));
      }
    }
    auto strip = [](std::string text) {
      std::string out;
      std::istringstream in(text);
      for (std::string w; in >> w;) out += (out.empty() ? "" : " ") + w.substr(0, w.find('='));
      return out;
    };
    std::string narrowedBy;
    std::string narrowedTo;
    if (const char* colon = strchr(c.narrowed, ':')) {
      narrowedBy = std::string(c.narrowed, static_cast<size_t>(colon - c.narrowed));
      narrowedTo = strip(colon + 1);
    }
    words += "        \"" + std::string(c.name) + "\") options='" + strip(c.options) +
             "' operands='" + c.operands + "' narrowed_by='" + narrowedBy + "' narrowed_to='" +
             narrowedTo + "' ;;\n";
  }
  size_t groups = 0;
  const CtlGroup* group = ctlCommandGroups(&groups);
  for (const CtlGroup& g : std::vector<CtlGroup>(group, group + groups)) {
    std::string list;
    for (const std::string& action : ctlActionsOf(g.name)) list += (list.empty() ? "" : " ") + action;
    actions += std::string("        ") + g.name + ") actions='" + list + "' ;;\n";
  }
  std::string valueArms;
  for (const char* kind : {"id", "user", "interval", "text"}) {
    std::string names;
    for (const auto& v : values) {
      if (v.second == kind) names += (names.empty() ? "" : " | ") + v.first;
    }
    if (!names.empty()) valueArms += "        " + names + ") kind=" + kind + " ;;\n";
  }
  std::string out;
  std::istringstream in(script);
  for (std::string line; std::getline(in, line);) {
    if (line == "@COMMANDS@") {
      out += "    commands='" + commands + "'\n";
    } else if (line == "@ACTIONS@") {
      out += actions;
    } else if (line == "@VALUES@") {
      out += valueArms;
    } else if (line == "@COMMAND_WORDS@") {
      out += words;
    } else {
      out += line + "\n";
    }
  }
  return out;
}
