// The host contract page against the library it describes. Each table the
// page marks with <!-- table: NAME --> lists codes or flags with their
// names; it must hold exactly the values the library names, each with the
// library's name. Each block marked <!-- excerpt: PATH --> must appear, as
// it stands, in that file of the source tree; so must those of the host
// guide, whose C code is all excerpts of its example. The info record must
// name the page. Only the public header and the shared library are used.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "vorlet_v2.h"

namespace {

const std::string kSourceDir = VORLET_SOURCE_DIR;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string page_path() {
  vorlet_v2_RuntimeInfo info{};
  info.struct_size = sizeof info;
  EXPECT_EQ(vorlet_v2_runtime_get_info(&info), VORLET_V2_OK);
  return kSourceDir + "/" + info.contract_document;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  const size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

// The text of a marker comment "<!-- KIND: VALUE -->" on a line, or "".
std::string marker(const std::string& line, const std::string& kind) {
  const std::string open = "<!-- " + kind + ":";
  const std::string t = trim(line);
  if (t.rfind(open, 0) != 0 || t.size() < open.size() + 4 || t.compare(t.size() - 3, 3, "-->") != 0) return "";
  return trim(t.substr(open.size(), t.size() - open.size() - 3));
}

struct Row {
  int64_t value;
  std::string name;
  size_t line;
};

// The cells of a table row "| a | b | ... |".
std::vector<std::string> cells(const std::string& line) {
  std::vector<std::string> out;
  std::string t = trim(line);
  if (t.size() < 2 || t.front() != '|' || t.back() != '|') return out;
  t = t.substr(1, t.size() - 2);
  std::istringstream in(t);
  for (std::string cell; std::getline(in, cell, '|');) out.push_back(trim(cell));
  return out;
}

// A decimal, negative or 0x hexadecimal number, whole cell; false otherwise.
bool parse_number(const std::string& cell, int64_t* out) {
  if (cell.empty()) return false;
  const bool hex = cell.rfind("0x", 0) == 0;
  char* end = nullptr;
  const long long v = std::strtoll(cell.c_str(), &end, hex ? 16 : 10);
  if (end == nullptr || *end != '\0') return false;
  *out = v;
  return true;
}

// The rows of the table that starts after line `at`: first cell the value,
// second cell the name in backticks.
std::vector<Row> table_rows(const std::vector<std::string>& lines, size_t at) {
  std::vector<Row> rows;
  size_t i = at + 1;
  // The header line and the separator line.
  if (i + 1 >= lines.size() || cells(lines[i]).empty() || cells(lines[i + 1]).empty()) {
    ADD_FAILURE() << "line " << at + 1 << ": a marked table must follow its marker";
    return rows;
  }
  for (i += 2; i < lines.size(); ++i) {
    const std::vector<std::string> c = cells(lines[i]);
    if (c.empty()) break;
    Row row{0, "", i + 1};
    const bool ticked = c.size() >= 2 && c[1].size() > 2 && c[1].front() == '`' && c[1].back() == '`';
    if (!parse_number(c[0], &row.value) || !ticked) {
      ADD_FAILURE() << "line " << i + 1 << ": want | value | `name` | ...: " << lines[i];
      continue;
    }
    row.name = c[1].substr(1, c[1].size() - 2);
    rows.push_back(row);
  }
  return rows;
}

// What a marked table must list: every value the name function names, in
// a code range or as single bits.
struct TableCheck {
  const char* (*name)(int64_t);
  int64_t first;
  int64_t last;
  bool single_bits;
};

template <const char* (*F)(uint32_t)>
const char* unsigned_name(int64_t v) {
  return F(static_cast<uint32_t>(v));
}
const char* status_name(int64_t v) { return vorlet_v2_status_name(static_cast<int32_t>(v)); }

const std::map<std::string, TableCheck>& checks() {
  static const std::map<std::string, TableCheck> kChecks = {
      {"status-codes", {status_name, -1024, 1024, false}},
      {"runtime-states", {unsigned_name<vorlet_v2_runtime_state_name>, 0, 1024, false}},
      {"deadletter-reasons", {unsigned_name<vorlet_v2_deadletter_reason_name>, 0, 1024, false}},
      {"event-kinds", {unsigned_name<vorlet_v2_monitor_event_kind_name>, 0, 1024, false}},
      {"queue-scopes", {unsigned_name<vorlet_v2_monitor_queue_scope_name>, 0, 1024, false}},
      {"queue-reject-details", {unsigned_name<vorlet_v2_monitor_queue_reject_detail_name>, 0, 1024, false}},
      {"overload-modes", {unsigned_name<vorlet_v2_overload_mode_name>, 0, 1024, false}},
      {"health-flags", {unsigned_name<vorlet_v2_health_flag_name>, 0, 31, true}},
  };
  return kChecks;
}

void check_table(const std::string& table, const TableCheck& check, const std::vector<Row>& rows) {
  SCOPED_TRACE("table " + table);
  std::set<int64_t> listed;
  for (const Row& row : rows) {
    EXPECT_TRUE(listed.insert(row.value).second) << "line " << row.line << ": " << row.value << " twice";
    const char* named = check.name(row.value);
    EXPECT_EQ(named != nullptr ? std::string(named) : std::string("(none)"), row.name)
        << "line " << row.line << ": the library names " << row.value << " otherwise";
  }
  std::set<int64_t> named;
  if (check.single_bits) {
    for (int64_t bit = check.first; bit <= check.last; ++bit) {
      if (check.name(int64_t{1} << bit) != nullptr) named.insert(int64_t{1} << bit);
    }
  } else {
    for (int64_t v = check.first; v <= check.last; ++v) {
      if (std::strcmp(check.name(v), "unknown") != 0) named.insert(v);
    }
  }
  for (int64_t v : named) EXPECT_EQ(listed.count(v), 1u) << v << " (" << check.name(v) << ") is missing";
  for (int64_t v : listed) EXPECT_EQ(named.count(v), 1u) << v << " is listed but has no name";
}

TEST(ContractPage, TheInfoRecordNamesAPageOfTheSourceTree) {
  EXPECT_FALSE(read_file(page_path()).empty()) << page_path();
}

TEST(ContractPage, MarkedTablesListExactlyTheLibrarysNames) {
  const std::vector<std::string> lines = lines_of(read_file(page_path()));
  ASSERT_FALSE(lines.empty());
  std::set<std::string> found;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string table = marker(lines[i], "table");
    if (table.empty()) continue;
    const auto check = checks().find(table);
    if (check == checks().end()) {
      ADD_FAILURE() << "line " << i + 1 << ": no check for table " << table;
      continue;
    }
    EXPECT_TRUE(found.insert(table).second) << "table " << table << " twice";
    check_table(table, check->second, table_rows(lines, i));
  }
  for (const auto& [table, check] : checks()) EXPECT_EQ(found.count(table), 1u) << "table " << table << " is gone";
}

// The excerpts of a document: each marker, the path it names and the code
// block after it.
struct Excerpt {
  std::string path;
  std::string block;
  size_t line;
};

std::vector<Excerpt> excerpts_of(const std::vector<std::string>& lines) {
  std::vector<Excerpt> found;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string path = marker(lines[i], "excerpt");
    if (path.empty()) continue;
    SCOPED_TRACE("excerpt of " + path + " at line " + std::to_string(i + 1));
    if (i + 1 >= lines.size() || lines[i + 1].rfind("```", 0) != 0) {
      ADD_FAILURE() << "a code block must follow the marker";
      continue;
    }
    std::string block;
    size_t k = i + 2;
    for (; k < lines.size() && lines[k].rfind("```", 0) != 0; ++k) block += lines[k] + "\n";
    if (k >= lines.size()) {
      ADD_FAILURE() << "the code block does not end";
      break;
    }
    EXPECT_FALSE(block.empty());
    found.push_back({path, block, i + 1});
    i = k;
  }
  return found;
}

void expect_excerpts_in_sources(const std::string& document) {
  const std::vector<Excerpt> excerpts = excerpts_of(lines_of(read_file(document)));
  EXPECT_GT(excerpts.size(), 0u) << document;
  for (const Excerpt& e : excerpts) {
    SCOPED_TRACE("excerpt of " + e.path + " at line " + std::to_string(e.line));
    const std::string source = read_file(kSourceDir + "/" + e.path);
    ASSERT_FALSE(source.empty()) << e.path;
    EXPECT_NE(source.find(e.block), std::string::npos) << "the excerpt is not in " << e.path << " as it stands";
  }
}

const std::string kHostGuide = kSourceDir + "/docs/host-guide.md";

TEST(ContractPage, ExcerptsStandInTheFilesTheyQuote) {
  SCOPED_TRACE(page_path());
  expect_excerpts_in_sources(page_path());
}

TEST(HostGuide, ExcerptsStandInTheExampleTheyQuote) {
  SCOPED_TRACE(kHostGuide);
  expect_excerpts_in_sources(kHostGuide);
}

// The guide shows no code that no test compiles: each C block is an
// excerpt of a file of the tree.
TEST(HostGuide, EveryCodeBlockIsAnExcerpt) {
  const std::vector<std::string> lines = lines_of(read_file(kHostGuide));
  ASSERT_FALSE(lines.empty()) << kHostGuide;
  bool inside = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind("```", 0) != 0) continue;
    if (!inside && trim(lines[i]) != "```") {
      EXPECT_TRUE(i > 0 && !marker(lines[i - 1], "excerpt").empty())
          << "line " << i + 1 << ": a code block without an excerpt marker before it";
    }
    inside = !inside;
  }
  EXPECT_FALSE(inside) << "a code block does not end";
}

}  // namespace
