// The manual page as groff and man render it: free of warnings, within an
// 80-column terminal, and in step with the programs it describes: their
// usage messages, the report's header, and every message they can print.
#include <ctype.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

std::string manual_path() {
  return source_path("man/iothrash.1");
}

// The page as plain text (no bold, underline or colour). With a very long
// line length no paragraph is broken, so each stands on one line.
std::string render_manual(bool unbroken) {
  std::vector<std::string> argv = {"groff", "-man", "-Tutf8", "-P-cbou"};
  if (unbroken) argv.push_back("-rLL=3000n");
  argv.push_back(manual_path());
  const run_result result = run_command(argv);
  EXPECT_EQ(result.exit_status, 0) << result.err;
  return result.out;
}

std::string squeezed(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == ' ' || c == '\t') {
      if (!out.empty() && out.back() != ' ') out += ' ';
    } else {
      out += c;
    }
  }
  if (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

// The lines of one section of rendered text, from its heading to the next
// (headings stand at the left margin in capitals; so may an example's lines),
// as printed; empty lines left out.
std::vector<std::string> section_of(const std::string& text, const std::string& heading) {
  std::vector<std::string> lines;
  bool inside = false;
  for (const std::string& line : lines_of(text)) {
    if (!line.empty() && isupper(static_cast<unsigned char>(line[0]))) {
      inside = line == heading;
      continue;
    }
    if (inside && !squeezed(line).empty()) lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> squeezed_lines(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const std::string& line : lines) out.push_back(squeezed(line));
  return out;
}

std::string first_line(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

TEST(ManualPage, RendersWithoutWarnings) {
  SKIP_UNLESS_PROGRAM("groff");
  const run_result result = run_command({"groff", "-man", "-Tutf8", "-ww", "-z", manual_path()});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.err, "");
}

TEST(ManualPage, FitsAnEightyColumnTerminal) {
  SKIP_UNLESS_PROGRAM("man");
  run_options options;
  options.environment = {"MANWIDTH=80"};
  const run_result result = run_command({"man", "--warnings", "-l", manual_path()}, options);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.err, "");
  const std::vector<std::string> lines = lines_of(result.out);
  EXPECT_GT(lines.size(), 100u);
  for (size_t i = 0; i < lines.size(); ++i) {
    size_t columns = 0;
    for (unsigned char c : lines[i]) columns += (c & 0xc0) != 0x80;  // UTF-8 lead bytes
    EXPECT_LE(columns, 80u) << "line " << i + 1 << ": " << lines[i];
  }
}

TEST(ManualPage, SynopsisIsWhatTheUsageMessagesSay) {
  SKIP_UNLESS_PROGRAM("groff");
  const std::string iothrash_usage = first_line(run_iothrash({}).err);
  const std::vector<std::string> plot_usage = lines_of(run_command({plot_script_path()}).err);
  const std::string iothrash_prefix = "usage: " + iothrash_path() + " ";
  ASSERT_TRUE(iothrash_usage.starts_with(iothrash_prefix)) << iothrash_usage;
  ASSERT_GE(plot_usage.size(), 2u);
  ASSERT_TRUE(plot_usage[0].starts_with("usage: iothrash-plot ")) << plot_usage[0];
  std::vector<std::string> expected = {
      "iothrash " + iothrash_usage.substr(iothrash_prefix.size()),
      plot_usage[0].substr(std::string("usage: ").size()),
  };
  // The plot's other forms stand under the first; its last line is a note.
  for (size_t i = 1; i + 1 < plot_usage.size(); ++i) expected.push_back(squeezed(plot_usage[i]));
  EXPECT_EQ(squeezed_lines(section_of(render_manual(true), "SYNOPSIS")), expected);
}

TEST(ManualPage, OutputShowsTheReportAsTheProgramPrintsIt) {
  SKIP_UNLESS_PROGRAM("groff");
  scratch_dir scratch(direct_io_scratch_parent());
  const std::vector<std::string> printed =
      lines_of(record_report(scratch, {"1", "0.5", "0", "4096", "1", "1"}));
  ASSERT_EQ(printed.size(), 4u);

  // The example block stands at the left margin, character for character.
  const std::vector<std::string> output = section_of(render_manual(false), "OUTPUT");
  size_t at = 0;
  while (at < output.size() && output[at] != printed[0]) ++at;
  ASSERT_LT(at + 3, output.size()) << "no header line as the program prints it";
  EXPECT_EQ(output[at + 1], printed[1]);
  EXPECT_EQ(output[at + 2], printed[2]);
  // The sample line: eleven figures in the program's widths, bars under the
  // header's.
  const std::string& sample = output[at + 3];
  const std::string figure = R"( *[0-9]+\.[0-9])";
  const std::string half = figure + figure + figure + figure + figure;
  EXPECT_TRUE(std::regex_match(sample, std::regex(figure + " \\|" + half + " \\|" + half)))
      << sample;
  EXPECT_EQ(sample.size(), printed[1].size()) << sample;
  EXPECT_EQ(sample.find('|'), printed[1].find('|')) << sample;
  EXPECT_EQ(sample.rfind('|'), printed[1].rfind('|')) << sample;
}

// A message as it stands in the source, as a pattern: whatever the program
// fills in (a shell or awk variable, a printf conversion) matches any text.
std::string message_pattern(const std::string& text) {
  std::string pattern;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '$' && i + 1 < text.size() && text[i + 1] == '{') {
      i = text.find('}', i);
      pattern += ".+";
    } else if (c == '$' && i + 1 < text.size() && (isalpha(text[i + 1]) || text[i + 1] == '_')) {
      while (i + 1 < text.size() && (isalnum(text[i + 1]) || text[i + 1] == '_')) ++i;
      pattern += ".+";
    } else if (c == '%' && i + 1 < text.size()) {
      ++i;
      pattern += ".+";
    } else if (c == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
      ++i;  // the end of the line
    } else {
      if (strchr(R"(\^$.|?*+()[]{})", c) != nullptr) pattern += '\\';
      pattern += c;
    }
  }
  return pattern;
}

// Every message found in `source` by `finder` (its first group): some line of
// `diagnostics` must be `prefix`, the message and `suffix`.
void expect_documented(const std::string& source, const std::regex& finder,
                       const std::string& prefix, const std::string& suffix,
                       const std::vector<std::string>& diagnostics, std::set<std::string>* found) {
  for (auto match = std::sregex_iterator(source.begin(), source.end(), finder);
       match != std::sregex_iterator(); ++match) {
    const std::string message = (*match)[1];
    found->insert(message);
    const std::regex pattern(prefix + message_pattern(message) + suffix);
    bool documented = false;
    for (const std::string& line : diagnostics) documented |= std::regex_match(line, pattern);
    EXPECT_TRUE(documented) << "DIAGNOSTICS lacks: " << prefix << message << suffix;
  }
}

TEST(ManualPage, DiagnosticsListEveryMessage) {
  SKIP_UNLESS_PROGRAM("groff");
  const std::vector<std::string> diagnostics =
      squeezed_lines(section_of(render_manual(true), "DIAGNOSTICS"));

  // The program's: each failure's label before the system's reason, or its
  // own text.
  std::set<std::string> messages;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(source_path("src"))) {
    const std::string path = entry.path();
    if (!path.ends_with(".cc") || path.ends_with("_test.cc")) continue;
    const std::string code = read_file(path);
    expect_documented(code, std::regex(R"re(fail_with_error\(\s*"([^"]*)")re"), "", ": reason",
                      diagnostics, &messages);
    expect_documented(code, std::regex(R"re(fail_with_message\(\s*"([^"]*)")re"), "", "",
                      diagnostics, &messages);
  }
  EXPECT_GE(messages.size(), 8u) << "the source no longer reports failures as it did";

  // The script's: its own failures and those its awk part prints.
  std::set<std::string> plot_messages;
  const std::string script = read_file(plot_script_path());
  expect_documented(script, std::regex(R"re(fail "([^"]*)")re"), "iothrash-plot: ", "", diagnostics,
                    &plot_messages);
  expect_documented(script, std::regex(R"re(printf "(iothrash-plot: [^"]*)")re"), "", "",
                    diagnostics, &plot_messages);
  EXPECT_GE(plot_messages.size(), 8u) << "the script no longer reports failures as it did";

  // Both usage messages, the program's name standing as "program".
  const std::vector<std::string> iothrash_usage = lines_of(run_iothrash({}).err);
  ASSERT_EQ(iothrash_usage.size(), 2u);
  const std::string iothrash_prefix = "usage: " + iothrash_path();
  std::vector<std::string> usage_lines = {
      "usage: program" + iothrash_usage[0].substr(iothrash_prefix.size()), iothrash_usage[1]};
  for (const std::string& line : lines_of(run_command({plot_script_path()}).err)) {
    usage_lines.push_back(squeezed(line));
  }
  for (const std::string& line : usage_lines) {
    EXPECT_TRUE(std::find(diagnostics.begin(), diagnostics.end(), line) != diagnostics.end())
        << "DIAGNOSTICS lacks: " << line;
  }
}

}  // namespace
