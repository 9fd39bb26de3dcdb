// What the tests of the built tool share: a HOME and a scratch folder on a
// test volume, the tool run with that HOME, and the texts it prints.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <regex>

#include "tests/engine_test_support.h"

namespace redomark::testing {

inline void PrintTo(const ToolRun& run, std::ostream* os) {
  *os << "status " << run.status << (run.signaled ? " (signal)" : "") << ", out " << ::testing::PrintToString(run.out)
      << ", err " << ::testing::PrintToString(run.err);
}

// Written before a message on a terminal, where a progress line might be.
inline const std::string erase = "\r\x1b[K";

inline const std::string notABackup = "This is an undo point on this disk, not a backup.\n";

inline ToolRun ok(const std::string& out) { return {0, out, ""}; }
inline ToolRun failed(int status, const std::string& message) { return {status, "", "redomark: " + message + "\n"}; }

// Writes each file below dir, its parents made first.
inline void writeFiles(const std::string& dir, const std::vector<std::pair<std::string, std::string>>& files) {
  for (const auto& [name, bytes] : files) {
    const std::string path = dir + "/" + name;
    createDirectories(path.substr(0, path.rfind('/')));
    writeFile(path, bytes);
  }
}

// count empty files in dir, named 0, 1, ..., made quickly (without a sync each).
inline void emptyFiles(const std::string& dir, int count) {
  createDirectories(dir);
  for (int i = 0; i < count; ++i)
    close(open((dir + "/" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
}

inline std::string savedLine(const std::string& id, const std::string& folder, const std::string& counts) {
  return "Saved redomark " + id + " of " + folder + " (" + counts +
         "; it shares the data, so it uses almost no extra disk).\n";
}

// The id a save report names, if it has the id's form.
inline std::string savedId(const ToolRun& run) {
  std::smatch m;
  static const std::regex form("^Saved redomark ([0-9]{8}-[0-9]{6}-[0-9a-f]{4}) of ");
  return std::regex_search(run.out, m, form) ? m[1].str() : "(no id)";
}

// "2026-12-06T19:32:18Z" as ICU's medium date and time of the C locale.
inline std::string localDate(const std::string& iso) {
  static const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
  int y = 0, mo = 1, d = 0, h = 0, mi = 0, s = 0;
  std::sscanf(iso.c_str(), "%d-%d-%dT%d:%d:%dZ", &y, &mo, &d, &h, &mi, &s);
  char text[64];
  std::snprintf(text, sizeof text, "%s %d, %d, %d:%02d:%02d\u202f%s", months.substr((mo + 11) % 12 * 3, 3).c_str(), d,
                y, (h + 11) % 12 + 1, mi, s, h < 12 ? "AM" : "PM");
  return text;
}

// setpriv before the tool, so that it runs as uid with no other groups.
inline std::vector<std::string> asUid(uid_t uid) {
  const std::string id = std::to_string(uid);
  return {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"};
}

// The values of every member called name in a JSON text, in order.
inline std::vector<std::string> members(const std::string& json, const std::string& name) {
  const std::regex member("\"" + name + "\" : \"?([^\",\n]*)");
  std::vector<std::string> out;
  for (auto m = std::sregex_iterator(json.begin(), json.end(), member); m != std::sregex_iterator(); ++m)
    out.push_back((*m)[1]);
  return out;
}

class CommandLine : public ::testing::Test {
 protected:
  // The dates the tool prints follow the zone and locale it inherits.
  explicit CommandLine(Volume volume = Volume::btrfs) : home(volume), scratch(volume) {
    setenv("TZ", "UTC", 1), setenv("LC_ALL", "C.UTF-8", 1);
  }
  // The tool with toolHome as HOME, as the user the launcher names, if any.
  ToolRun tool(const std::vector<std::string>& args) const { return runTool(args, toolHome, launcher); }
  // The tool on a terminal, typed given at its first "[y/N] " prompt.
  ToolRun answer(const std::vector<std::string>& args, const std::string& typed) const {
    TerminalProcess run(args, toolHome);
    if (run.readUntil("[y/N] ") != std::string::npos) run.type(typed);
    return run.wait();
  }
  using Rows = std::vector<std::pair<std::vector<std::string>, ToolRun>>;
  // Runs each row's arguments in turn and expects its whole result.
  void expectRuns(const Rows& rows) const {
    for (const auto& [args, expected] : rows) EXPECT_EQ(tool(args), expected) << ::testing::PrintToString(args);
  }
  std::string defaultStore() const { return toolHome + "/.local/share/Redomark/Checkpoints"; }
  std::string savedData(const std::string& folder, const std::string& id) const {
    return CheckpointStore(defaultStore()).folderDirectory(folder) + "/" + id + "/data";
  }

  struct Listed {
    std::string id, createdAt;
  };
  // The folder's checkpoints as list --json gives them, oldest first.
  std::vector<Listed> listed(const std::string& folder) const {
    const std::string json = tool({"list", folder, "--json"}).out;
    const std::vector<std::string> ids = members(json, "id"), dates = members(json, "createdAt");
    std::vector<Listed> out;
    for (size_t i = 0; i < ids.size() && i < dates.size(); ++i) out.push_back({ids[i], dates[i]});
    return out;
  }
  // Saves folder with the options given, which must succeed; the id saved.
  std::string saved(const std::string& folder, std::vector<std::string> options = {}) const {
    options.insert(options.begin(), {"save", folder});
    const ToolRun run = tool(options);
    EXPECT_EQ(run.status, 0) << run.err;
    return savedId(run);
  }
  std::vector<std::string> savedIds(const std::string& folder) const {
    return members(tool({"list", folder, "--json"}).out, "id");
  }
  // The space each of the folder's checkpoints uses alone, oldest first, once the volume has settled.
  std::vector<int64_t> spaceUsed(const std::string& folder) const {
    sync();
    std::vector<int64_t> out;
    for (const std::string& n : members(tool({"list", folder, "--json", "--space"}).out, "spaceUsed"))
      out.push_back(std::stoll(n));
    return out;
  }
  std::string line(const Listed& c, const std::string& quotedName = "") const {
    return c.id + "  " + localDate(c.createdAt) + quotedName;
  }

  ScratchDir home;
  ScratchDir scratch;
  std::string toolHome = home.path();
  std::vector<std::string> launcher;
};

}  // namespace redomark::testing
