// iothrash-plot on reports of real runs and on files that are not reports:
// the status, the one-line message, and a whole picture of the promised size
// that shows the run, or no picture at all.
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "e2e_support.h"
#include "report/table.h"

namespace {

constexpr unsigned kWidth = 1000;
constexpr unsigned kHeight = 720;
// The colours the script draws reads and writes in.
constexpr uint32_t kReadColour = 0x1f6fb4;
constexpr uint32_t kWriteColour = 0xd2581e;
constexpr uint32_t kBackground = 0xffffff;
// A line across the graphs holds some hundreds of pixels of its colour or
// nearly (the edges are smoothed); the legend's sample of it, which is there
// even without data, far fewer.
constexpr size_t kDrawnLinePixels = 300;

// Within `tolerance` in each channel. Where lines of several colours cross,
// their smoothed edges blend into colours within 40 of another one's.
bool near_colour(uint32_t pixel, uint32_t colour, int tolerance = 40) {
  for (int shift : {0, 8, 16}) {
    const int a = static_cast<int>(pixel >> shift & 0xff),
              b = static_cast<int>(colour >> shift & 0xff);
    if (a - b > tolerance || b - a > tolerance) return false;
  }
  return true;
}

// The three header lines exactly as the program prints them.
constexpr const char* kHeader = kReportHeader;

// One interval's line, for the cases that need a report but not a real run.
const char kSampleLine[] =
    "  100.0 |   70.0   0.1    0.5    3.0    0.4 |   30.0   0.2    1.0    9.0    1.5\n";

run_result run_plot(const std::vector<std::string>& arguments, const run_options& options = {}) {
  std::vector<std::string> argv = {plot_script_path()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return run_command(argv, options);
}

// The plot run from within `folder`, so that names are given as a user in
// that folder types them.
run_result run_plot_in(const std::string& folder, const std::vector<std::string>& arguments,
                       const run_options& options = {}) {
  std::vector<std::string> argv = {"sh", "-c", "cd -- \"$0\" && exec \"$@\"", folder,
                                   plot_script_path()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return run_command(argv, options);
}

// The script's temporary pictures still lying in `folder`.
std::vector<std::string> leftover_temporaries(const std::string& folder) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    const std::string name = entry.path().filename();
    if (name.starts_with(".iothrash-plot-")) found.push_back(entry.path());
  }
  return found;
}

// The report with its first `nr_lines` lines, then `inserted`, then the rest.
std::string with_inserted(const std::string& report, size_t nr_lines, const std::string& inserted) {
  size_t at = 0;
  for (size_t line = 0; line < nr_lines && at != std::string::npos; ++line) {
    at = report.find('\n', at);
    if (at != std::string::npos) ++at;
  }
  if (at == std::string::npos) at = report.size();
  return report.substr(0, at) + inserted + report.substr(at);
}

struct drawn_case {
  const char* name;
  std::string report_name;  // below the scratch folder
  std::string report;
  std::string expected_picture;  // the default name, below the scratch folder
  bool reads_drawn;
  bool writes_drawn;
};

TEST(Plot, DrawsReportsOfRealRuns) {
  SKIP_UNLESS_PROGRAM("gnuplot");
  SKIP_UNLESS_PNG_DECODER();
  scratch_dir load_scratch(direct_io_scratch_parent());
  // Four samples of a mixed load with fsyncs, and three of a read-only one,
  // whose write half is inf and nan throughout.
  const std::string mixed = record_report(load_scratch, {"2", "0.3", "0.1", "4096", "1", "4"});
  const std::string read_only = record_report(load_scratch, {"2", "0", "0", "4096", "1", "3"});
  ASSERT_EQ(lines_of(mixed).size(), 7u) << mixed;
  ASSERT_EQ(lines_of(read_only).size(), 6u) << read_only;

  const drawn_case cases[] = {
      {"mixed run", "run.txt", mixed, "run.png", true, true},
      {"read-only run", "read-only", read_only, "read-only.png", true, false},
      // An interrupt in the middle of a line, as a copy of the report may have it.
      {"last line cut short", "cut.run.log", mixed.substr(0, mixed.size() - 30), "cut.run.png",
       true, true},
      {"headers repeated inside and at the end", "saved.d/headers",
       with_inserted(mixed, 5, kHeader) + kHeader, "saved.d/headers.png", true, true},
      {"a name awk would take for an assignment", "qd=32.txt", read_only, "qd=32.png", true, false},
      // Fields wider than the table's, and intervals in which nothing at all,
      // or only one operation of a kind, completed.
      {"widened fields and empty intervals", ".wide",
       std::string(kHeader) +
           "123456.7 |123456.7 1000.0 1500.0 2000.0  300.0 |    0.0   inf   -nan    0.0   -nan\n"
           "    0.0 |    0.0   inf   -nan    0.0   -nan |    0.0   inf   -nan    0.0   -nan\n"
           "    1.0 |    0.0   inf   -nan    0.0   -nan |    1.0   2.0    2.0    2.0   -nan\n",
       ".wide.png", true, false},
  };
  scratch_dir scratch;
  for (const drawn_case& c : cases) {
    const std::string report = scratch.path + "/" + c.report_name;
    ASSERT_TRUE(write_file(report, c.report)) << report;
    const run_result result = run_plot_in(scratch.path, {c.report_name});
    EXPECT_EQ(result.exit_status, 0) << c.name;
    EXPECT_EQ(result.err, "") << c.name;
    EXPECT_EQ(result.out, "") << c.name;
    const png_picture picture = read_png(scratch.path + "/" + c.expected_picture);
    ASSERT_EQ(picture.error, "") << c.name;
    EXPECT_EQ(picture.width, kWidth) << c.name;
    EXPECT_EQ(picture.height, kHeight) << c.name;
    std::set<uint32_t> colours;
    size_t drawn = 0, reads = 0, writes = 0;
    for (uint32_t pixel : picture.pixels) {
      colours.insert(pixel);
      drawn += pixel != kBackground;
      reads += near_colour(pixel, kReadColour);
      writes += near_colour(pixel, kWriteColour);
    }
    // Text, axes, grid, lines and bands, not an empty canvas.
    EXPECT_GT(colours.size(), 20u) << c.name;
    EXPECT_GT(drawn, picture.pixels.size() / 100) << c.name;
    EXPECT_EQ(reads > kDrawnLinePixels, c.reads_drawn) << c.name << ": " << reads << " read pixels";
    EXPECT_EQ(writes > kDrawnLinePixels, c.writes_drawn)
        << c.name << ": " << writes << " write pixels";
    EXPECT_EQ(leftover_temporaries(scratch.path), std::vector<std::string>{}) << c.name;
  }
}

TEST(Plot, IntervalOptionSetsTheTimeAxis) {
  SKIP_UNLESS_PROGRAM("gnuplot");
  SKIP_UNLESS_PNG_DECODER();
  scratch_dir scratch;
  const std::string report = scratch.path + "/report";
  write_file(report, std::string(kHeader) + kSampleLine +
                         "  110.0 |   80.0   0.1    0.6    4.0    0.5 |   30.0   0.2    1.1    8.0"
                         "    1.4\n");
  std::vector<png_picture> pictures;
  for (const char* interval : {"1", "10"}) {
    const std::string out = scratch.path + "/every-" + interval + ".png";
    const run_result result = run_plot({"-i", interval, report, out});
    EXPECT_EQ(result.exit_status, 0) << "-i " << interval << ": " << result.err;
    pictures.push_back(read_png(out));
    EXPECT_EQ(pictures.back().error, "") << "-i " << interval;
  }
  // The same figures over 2 s and over 20 s: only the axis tells them apart.
  EXPECT_NE(pictures[0].pixels, pictures[1].pixels);
}

// `text` with "host: " before each of its lines, as pdsh saves them.
std::string prefixed(const std::string& host, const std::string& text) {
  std::string combined;
  for (const std::string& line : lines_of(text)) combined += host + ": " + line + "\n";
  return combined;
}

struct refused_case {
  const char* name;
  std::string report;
  std::string reason;  // after "iothrash-plot: REPORT: "
};

TEST(Plot, RefusesWhatIsNotAReportAndLeavesThePictureAlone) {
  SKIP_UNLESS_PROGRAM("gnuplot");
  const std::string report = std::string(kHeader) + kSampleLine + kSampleLine;
  const refused_case cases[] = {
      {"text", "hello\nworld\n", "line 1 is not a line of an iothrash report"},
      {"a program", read_file(iothrash_path()), "line 1 is not a line of an iothrash report"},
      {"empty", "", "no sample lines"},
      {"header only", kHeader, "no sample lines"},
      {"interrupt echoed inside", with_inserted(report, 4, "^C\n"),
       "line 5 is not a line of an iothrash report"},
      // A whole last line is no cut line: standard error saved with 2>&1.
      {"a message at the end", report + "thrasher read or write: Input/output error\n",
       "line 6 is not a line of an iothrash report"},
      {"a cut line followed by more", with_inserted(report, 4, "  100.0 |   70.0   0.1\n"),
       "line 5 is not a line of an iothrash report"},
      {"a field too many",
       std::string(kHeader) + "  1.0 |    1.0   0.1    0.1    0.1    0.1    0.1 |"
                              "    0.0   inf   -nan    0.0   -nan\n",
       "line 4 is not a line of an iothrash report"},
      {"a figure without its decimal",
       std::string(kHeader) + "    1 |    1.0   0.1    0.1    0.1"
                              "    0.1 |    0.0   inf   -nan    0.0"
                              "   -nan\n",
       "line 4 is not a line of an iothrash report"},
      // Output combined from hosts: the same, host by host.
      {"a host's message among its lines",
       prefixed("h1", report) + "h2: thrasher fsync: Input/output error\n" + prefixed("h2", report),
       "line 6 is not a line of an iothrash report"},
      {"a host's message at its end",
       prefixed("h1", report) + "h1: open: No such file or directory\n" + prefixed("h2", report),
       "line 6 is not a line of an iothrash report"},
      {"a line of no host", prefixed("h1", report) + kSampleLine + prefixed("h2", report),
       "line 6 is not a line of an iothrash report"},
      {"a host with headers only", prefixed("h1", report) + prefixed("h2", kHeader),
       "no sample lines from h2"},
  };
  scratch_dir scratch;
  const std::string picture = scratch.path + "/picture.png";
  for (const refused_case& c : cases) {
    const std::string path = scratch.path + "/report";
    write_file(path, c.report);
    write_file(picture, "the picture of an earlier run");
    const run_result result = run_plot({path, picture});
    EXPECT_EQ(result.exit_status, 1) << c.name;
    EXPECT_EQ(result.err, "iothrash-plot: " + path + ": " + c.reason + "\n") << c.name;
    EXPECT_EQ(read_file(picture), "the picture of an earlier run") << c.name;
    EXPECT_EQ(leftover_temporaries(scratch.path), std::vector<std::string>{}) << c.name;
  }
}

struct command_line_case {
  const char* name;
  std::vector<std::string> arguments;  // "REPORT" stands for a small report
  int exit_status;
  std::string expected_err;  // "USAGE" stands for the usage message
  std::string expected_out;
};

TEST(Plot, CommandLine) {
  SKIP_UNLESS_PROGRAM("gnuplot");
  scratch_dir scratch;
  const std::string report = scratch.path + "/report";
  write_file(report, std::string(kHeader) + kSampleLine);
  const std::string usage =
      "usage: iothrash-plot [-i nr_seconds_between_samples] [-o out.png] report...\n"
      "       iothrash-plot [-i nr_seconds_between_samples] report out.png\n"
      "out.png defaults to the first report's name with .png for its extension\n";
  const std::string missing = scratch.path + "/missing";
  const std::string folder = scratch.path + "/folder";
  std::filesystem::create_directory(folder);
  std::filesystem::create_directory(scratch.path + "/folder.png");
  const std::string link = scratch.path + "/link";
  std::filesystem::create_symlink(report, link);
  const command_line_case cases[] = {
      {"no arguments", {}, 1, "USAGE", ""},
      {"-o without reports", {"-o", "a.png"}, 1, "USAGE", ""},
      // Three names are three reports; a picture among them is none.
      {"picture among three",
       {"REPORT", "REPORT", missing + ".png"},
       1,
       "iothrash-plot: " + missing + ".png: No such file or directory\n",
       ""},
      {"unknown option", {"-x", "REPORT"}, 1, "USAGE", ""},
      {"interval without its value", {"-i"}, 1, "USAGE", ""},
      {"help", {"-h"}, 0, "", "USAGE"},
      {"interval 0",
       {"-i", "0", "REPORT"},
       1,
       "iothrash-plot: -i takes a whole number of seconds from 1 up, not '0'\n",
       ""},
      {"interval 1.5",
       {"-i", "1.5", "REPORT"},
       1,
       "iothrash-plot: -i takes a whole number of seconds from 1 up, not '1.5'\n",
       ""},
      {"interval with a unit",
       {"-i", "2s", "REPORT"},
       1,
       "iothrash-plot: -i takes a whole number of seconds from 1 up, not '2s'\n",
       ""},
      {"missing report",
       {missing},
       1,
       "iothrash-plot: " + missing + ": No such file or directory\n",
       ""},
      {"a folder as report",
       {scratch.path},
       1,
       "iothrash-plot: " + scratch.path + ": Is a directory\n",
       ""},
      {"picture named as the report",
       {"REPORT", "REPORT"},
       1,
       "iothrash-plot: " + report + ": would overwrite the report\n",
       ""},
      // The same file by another name is the report all the same.
      {"picture naming the report by another path",
       {"REPORT", scratch.path + "/./report"},
       1,
       "iothrash-plot: " + scratch.path + "/./report: would overwrite the report\n",
       ""},
      {"-o naming the report through a link",
       {"-o", link, "REPORT"},
       1,
       "iothrash-plot: " + link + ": would overwrite the report\n",
       ""},
      {"-o naming a folder",
       {"-o", folder, "REPORT"},
       1,
       "iothrash-plot: " + folder + ": Is a directory\n",
       ""},
      {"a folder named as a picture",
       {"REPORT", folder + ".png"},
       1,
       "iothrash-plot: " + folder + ".png: Is a directory\n",
       ""},
      // Not yet there, so a picture: the older form keeps any name.
      {"picture named without .png", {"REPORT", scratch.path + "/picture"}, 0, "", ""},
      {"picture in a missing folder",
       {"REPORT", missing + "/out.png"},
       1,
       "iothrash-plot: " + missing + "/out.png: cannot create a file in " + missing + "\n",
       ""},
      {"interval then report and picture",
       {"-i", "5", "REPORT", scratch.path + "/five.png"},
       0,
       "",
       ""},
  };
  for (const command_line_case& c : cases) {
    std::vector<std::string> arguments = c.arguments;
    for (std::string& argument : arguments) {
      if (argument == "REPORT") argument = report;
    }
    const run_result result = run_plot(arguments);
    EXPECT_EQ(result.exit_status, c.exit_status) << c.name;
    EXPECT_EQ(result.err, c.expected_err == "USAGE" ? usage : c.expected_err) << c.name;
    EXPECT_EQ(result.out, c.expected_out == "USAGE" ? usage : c.expected_out) << c.name;
  }
  EXPECT_EQ(read_file(scratch.path + "/five.png").substr(1, 3), "PNG");
  EXPECT_EQ(read_file(scratch.path + "/picture").substr(1, 3), "PNG");
  EXPECT_EQ(read_file(report), std::string(kHeader) + kSampleLine);
  EXPECT_TRUE(std::filesystem::is_empty(folder));
  EXPECT_EQ(leftover_temporaries(scratch.path), std::vector<std::string>{});
}

TEST(Plot, PictureCutShortByTheSystemIsNeverLeftBehind) {
  SKIP_UNLESS_PROGRAM("gnuplot");
  SKIP_UNLESS_PROGRAM("prlimit");
  scratch_dir scratch;
  const std::string report = scratch.path + "/report";
  write_file(report, std::string(kHeader) + kSampleLine);
  const std::string picture = scratch.path + "/report.png";
  write_file(picture, "the picture of an earlier run");
  // A file size limit stops gnuplot in the middle of writing the picture, as
  // a full disk would.
  const run_result result = run_command({"prlimit", "--fsize=4096", plot_script_path(), report});
  EXPECT_EQ(result.exit_status, 1);
  // The rest is the shell's word for the signal.
  EXPECT_TRUE(result.err.starts_with("iothrash-plot: gnuplot: ")) << result.err;
  EXPECT_EQ(lines_of(result.err).size(), 1u) << result.err;
  EXPECT_EQ(read_file(picture), "the picture of an earlier run");
  EXPECT_EQ(leftover_temporaries(scratch.path), std::vector<std::string>{});
}

// The colours of several reports (or hosts), in the order they are drawn.
constexpr uint32_t kReportColours[] = {0x2ca02c, 0xd62728, 0x9467bd, 0x17becf,
                                       0x008080, 0xe377c2, 0xbcbd22, 0x000080};
// Right of this column lie only the legends.
constexpr unsigned kLegendColumn = 900;
// Drawn in the graphs, a line holds some hundreds of pixels of its colour;
// nothing else there comes near the colour. A legend's sample line, some
// tens.
constexpr size_t kGraphLinePixels = 100;
constexpr size_t kLegendLinePixels = 40;

// The tolerance that tells the colours of several reports apart.
constexpr int kReportColourTolerance = 16;

// Where a colour is drawn in the graphs, the legends left out.
struct colour_extent {
  size_t upper_pixels = 0;  // in the rates' panel, the upper half
  size_t lower_pixels = 0;  // in the latencies' panel
  size_t legend_pixels = 0;
  int rightmost_upper = -1;
};

colour_extent extent_of(const png_picture& picture, uint32_t colour) {
  colour_extent extent;
  for (unsigned y = 0; y < picture.height; ++y) {
    for (unsigned x = 0; x < picture.width; ++x) {
      if (!near_colour(picture.pixels[y * picture.width + x], colour, kReportColourTolerance)) {
        continue;
      }
      if (x >= kLegendColumn) {
        ++extent.legend_pixels;
        continue;
      }
      if (y < picture.height / 2) {
        ++extent.upper_pixels;
        extent.rightmost_upper = std::max(extent.rightmost_upper, static_cast<int>(x));
      } else {
        ++extent.lower_pixels;
      }
    }
  }
  return extent;
}

// Expects a line of its own colour for each of the first `nr_drawn`
// reports, in both panels, and none of the other colours; returns where
// each colour lies.
std::vector<colour_extent> expect_a_colour_for_each(const png_picture& picture, size_t nr_drawn,
                                                    const std::string& name) {
  std::vector<colour_extent> extents;
  for (size_t k = 0; k < std::size(kReportColours); ++k) {
    extents.push_back(extent_of(picture, kReportColours[k]));
    const bool drawn = k < nr_drawn;
    EXPECT_EQ(extents[k].upper_pixels > kGraphLinePixels, drawn)
        << name << ": colour " << k << ", " << extents[k].upper_pixels << " pixels above";
    EXPECT_EQ(extents[k].lower_pixels > kGraphLinePixels, drawn)
        << name << ": colour " << k << ", " << extents[k].lower_pixels << " pixels below";
  }
  return extents;
}

// The black pixels inside the rates' graph, clear of its border, its tick
// labels and the title above it.
size_t black_inside_rates_graph(const png_picture& picture) {
  size_t black = 0;
  for (unsigned y = 40; y < 340; ++y) {
    for (unsigned x = 110; x < 780; ++x) {
      black += near_colour(picture.pixels[y * picture.width + x], 0, kReportColourTolerance);
    }
  }
  return black;
}

// A report of `nr_lines` intervals: about `total_iops` a second, reads taking
// about `read_ms` and writes `write_ms`.
std::string made_up_report(int nr_lines, double total_iops, double read_ms, double write_ms) {
  std::string report = kHeader;
  for (int i = 0; i < nr_lines; ++i) {
    const double total = total_iops + 10 * (i % 3);
    char line[200];
    snprintf(line, sizeof line,
             "%7.1f |%7.1f %5.1f %6.1f %6.1f %6.1f |%7.1f %5.1f %6.1f %6.1f %6.1f\n", total,
             total * 0.7, read_ms / 2, read_ms, read_ms * 2, read_ms / 4, total * 0.3, write_ms / 2,
             write_ms, write_ms * 2, write_ms / 4);
    report += line;
  }
  return report;
}

// The environment for a plot whose gnuplot input is kept in `copy`: a gnuplot
// of the scratch folder's own, first in PATH, saves what it reads and hands
// it on to the real one.
std::vector<std::string> keeping_gnuplot_input(const scratch_dir& scratch,
                                               const std::string& copy) {
  const std::string real = trimmed(run_command({"sh", "-c", "command -v gnuplot"}).out);
  const std::string folder = scratch.path + "/bin";
  write_file(folder + "/gnuplot",
             "#!/bin/sh\ntee -- \"$IOTHRASH_TEST_GNUPLOT_INPUT\" | '" + real + "' \"$@\"\n");
  chmod((folder + "/gnuplot").c_str(), 0755);
  return {"PATH=" + folder + ":" + getenv("PATH"), "IOTHRASH_TEST_GNUPLOT_INPUT=" + copy};
}

// What the plot handed gnuplot: each datablock's rows by the block's name
// ("iops_1"), and the legend's titles of the upper panel in their order.
struct gnuplot_input {
  std::map<std::string, std::vector<std::vector<std::string>>> datablocks;
  std::vector<std::string> upper_titles;
};

gnuplot_input parse_gnuplot_input(const std::string& text) {
  gnuplot_input input;
  std::vector<std::vector<std::string>>* block = nullptr;
  bool upper_seen = false;
  for (const std::string& line : lines_of(text)) {
    if (block != nullptr) {
      if (line == "EOD") {
        block = nullptr;
        continue;
      }
      std::vector<std::string> fields;
      for (size_t at = 0; at < line.size();) {
        const size_t end = std::min(line.find(' ', at), line.size());
        fields.push_back(line.substr(at, end - at));
        at = end + 1;
      }
      block->push_back(fields);
    } else if (line.starts_with("$") && line.ends_with(" << EOD")) {
      block = &input.datablocks[line.substr(1, line.find(' ') - 1)];
    } else if (line.starts_with("plot ") && !upper_seen) {
      upper_seen = true;
      const std::regex title(R"re(title '([^']*)')re");
      for (auto m = std::sregex_iterator(line.begin(), line.end(), title);
           m != std::sregex_iterator(); ++m) {
        input.upper_titles.push_back((*m)[1]);
      }
    }
  }
  return input;
}

// Field `column` (from 0) of every row.
std::vector<std::string> column_of(const std::vector<std::vector<std::string>>& rows,
                                   size_t column) {
  std::vector<std::string> values;
  for (const auto& row : rows) values.push_back(column < row.size() ? row[column] : "");
  return values;
}

// The total of every data line of a report, as the report writes it.
std::vector<std::string> totals_of(const std::string& report) {
  std::vector<std::string> totals;
  for (const std::string& line : lines_of(report)) {
    if (!parse_data_line(line)) continue;
    std::string total = trimmed(line.substr(0, line.find('|')));
    total.erase(0, total.find_first_not_of(' '));
    totals.push_back(total);
  }
  return totals;
}

// The sum of the hosts' totals for each line number, over the hosts that
// have that line, with the report's one decimal.
std::vector<std::string> sums_of(const std::vector<std::string>& reports) {
  std::vector<double> sums;
  for (const std::string& report : reports) {
    size_t i = 0;
    for (const std::string& line : lines_of(report)) {
      const std::optional<report_line> figures = parse_data_line(line);
      if (!figures) continue;
      if (sums.size() <= i) sums.push_back(0);
      sums[i++] += (*figures)[0];
    }
  }
  std::vector<std::string> text;
  for (double sum : sums) {
    char figure[64];
    snprintf(figure, sizeof figure, "%.1f", sum);
    text.push_back(figure);
  }
  return text;
}

struct several_case {
  const char* name;
  std::vector<std::string> arguments;  // run in the scratch folder
  std::string picture;
  std::vector<std::string> labels;  // the legend's, in order
  std::vector<int> lengths;         // each report's number of lines
};

TEST(Plot, SeveralReportsShareOnePicture) {
  SKIP_UNLESS_PROGRAM("gnuplot");
  SKIP_UNLESS_PNG_DECODER();
  scratch_dir scratch;
  // Names awk would take for an assignment and for its standard input.
  write_file(scratch.path + "/qd=32.txt", made_up_report(6, 800, 0.3, 3));
  write_file(scratch.path + "/qd=64.txt", made_up_report(4, 1500, 0.8, 8));
  write_file(scratch.path + "/-", made_up_report(3, 300, 2, 20));
  write_file(scratch.path + "/runs.d/ext4.run.log", made_up_report(5, 100, 5, 50));
  const several_case cases[] = {
      // The second name exists and is no picture: a report to compare.
      {"two reports, as in the older form",
       {"qd=32.txt", "qd=64.txt"},
       "qd=32.png",
       {"qd=32", "qd=64"},
       {6, 4}},
      {"three reports of different lengths",
       {"-o", "three.png", "qd=32.txt", "-", "qd=64.txt"},
       "three.png",
       {"qd=32", "-", "qd=64"},
       {6, 3, 4}},
      {"four reports, one in a folder",
       {"-o", "four.png", "qd=32.txt", "qd=64.txt", "-", "runs.d/ext4.run.log"},
       "four.png",
       {"qd=32", "qd=64", "-", "ext4.run"},
       {6, 4, 3, 5}},
  };
  const std::string copy = scratch.path + "/gnuplot-input";
  run_options options;
  options.environment = keeping_gnuplot_input(scratch, copy);
  options.timeout_seconds = 20;
  for (const several_case& c : cases) {
    // Standard input open and silent, as a terminal is: a report named "-"
    // must never be read from it.
    int silent_input[2];
    ASSERT_EQ(pipe(silent_input), 0);
    options.stdin_fd = silent_input[0];
    const run_result result = run_plot_in(scratch.path, c.arguments, options);
    close(silent_input[0]);
    close(silent_input[1]);
    EXPECT_FALSE(result.timed_out) << c.name;
    EXPECT_EQ(result.exit_status, 0) << c.name;
    EXPECT_EQ(result.err, "") << c.name;
    EXPECT_EQ(parse_gnuplot_input(read_file(copy)).upper_titles, c.labels) << c.name;

    const png_picture picture = read_png(scratch.path + "/" + c.picture);
    ASSERT_EQ(picture.error, "") << c.name;
    EXPECT_EQ(picture.width, kWidth) << c.name;
    EXPECT_EQ(picture.height, kHeight) << c.name;
    const std::vector<colour_extent> extents =
        expect_a_colour_for_each(picture, c.lengths.size(), c.name);
    // Nor the one report's reads and writes.
    for (uint32_t colour : {kReadColour, kWriteColour}) {
      const colour_extent extent = extent_of(picture, colour);
      EXPECT_LT(extent.upper_pixels + extent.lower_pixels, kGraphLinePixels) << c.name;
    }
    // Each over its own length: a shorter report ends further left.
    for (size_t i = 0; i < c.lengths.size(); ++i) {
      for (size_t j = 0; j < c.lengths.size(); ++j) {
        if (c.lengths[i] <= c.lengths[j]) continue;
        EXPECT_GT(extents[i].rightmost_upper, extents[j].rightmost_upper + 50)
            << c.name << ": report " << i << " against " << j;
      }
    }
  }
}

// One host's output in combined form: its prefix (the host's name, or a
// padded task number) and its report.
struct host_output {
  std::string prefix;
  std::string label;  // the legend's name for it
  std::string report;
};

// The hosts' lines taken in turn, one from each, in the order given, as a
// parallel shell interleaves them.
std::string interleaved(const std::vector<host_output>& hosts) {
  std::vector<std::vector<std::string>> lines;
  for (const host_output& host : hosts) lines.push_back(lines_of(host.report));
  std::string combined;
  for (size_t i = 0;; ++i) {
    bool any = false;
    for (size_t h = 0; h < hosts.size(); ++h) {
      if (i >= lines[h].size()) continue;
      combined += hosts[h].prefix + ": " + lines[h][i] + "\n";
      any = true;
    }
    if (!any) return combined;
  }
}

struct combined_case {
  const char* name;
  std::vector<host_output> hosts;   // in the order their lines come
  std::vector<size_t> drawn_order;  // indices into hosts, as the legend lists them
};

TEST(Plot, CombinedOutputIsOneReportPerHostAndTheirSum) {
  SKIP_UNLESS_PROGRAM("gnuplot");
  const std::string cut = "  100.0 |   70.0   0.1";
  const combined_case cases[] = {
      {"hosts out of order, h10 after h2",
       {{"h2", "h2", made_up_report(3, 100, 0.2, 2)},
        {"h10", "h10", made_up_report(3, 1000, 0.3, 3)},
        {"h1", "h1", made_up_report(3, 10, 0.4, 4)}},
       {2, 0, 1}},
      // srun --label pads its task numbers; hosts that ran for different times.
      {"padded task numbers, different lengths",
       {{" 0", "0", made_up_report(5, 250.5, 0.2, 2)},
        {" 1", "1", made_up_report(3, 30.1, 1, 10)},
        {"10", "10", made_up_report(4, 0.1, 5, 50)}},
       {0, 1, 2}},
      // The newline a parallel shell adds to a host's unfinished last line.
      {"a host's last line cut short",
       {{"a.example", "a.example", made_up_report(3, 100, 0.2, 2) + cut},
        {"b.example", "b.example", made_up_report(4, 200, 1, 10)}},
       {0, 1}},
  };
  scratch_dir scratch;
  const std::string copy = scratch.path + "/gnuplot-input";
  run_options options;
  options.environment = keeping_gnuplot_input(scratch, copy);
  for (const combined_case& c : cases) {
    const std::string path = scratch.path + "/hosts.txt";
    write_file(path, interleaved(c.hosts));
    const run_result result = run_plot({path}, options);
    EXPECT_EQ(result.exit_status, 0) << c.name;
    EXPECT_EQ(result.err, "") << c.name;
    const gnuplot_input input = parse_gnuplot_input(read_file(copy));

    std::vector<std::string> labels, reports;
    for (size_t k = 0; k < c.drawn_order.size(); ++k) {
      const host_output& host = c.hosts[c.drawn_order[k]];
      labels.push_back(host.label);
      reports.push_back(host.report);
      const auto block = input.datablocks.find("iops_" + std::to_string(k + 1));
      ASSERT_NE(block, input.datablocks.end()) << c.name << ": " << host.label;
      // The host's totals digit for digit, in its own datablock.
      EXPECT_EQ(column_of(block->second, 1), totals_of(host.report))
          << c.name << ": " << host.label;
    }
    labels.push_back("all hosts");
    EXPECT_EQ(input.upper_titles, labels) << c.name;
    const auto sum = input.datablocks.find("sum_1");
    ASSERT_NE(sum, input.datablocks.end()) << c.name;
    EXPECT_EQ(column_of(sum->second, 1), sums_of(reports)) << c.name;

    const png_picture picture = read_png(scratch.path + "/hosts.png");
    ASSERT_EQ(picture.error, "") << c.name;
    EXPECT_EQ(picture.width, kWidth) << c.name;
    EXPECT_EQ(picture.height, kHeight) << c.name;
    expect_a_colour_for_each(picture, c.hosts.size(), c.name);
  }
}

TEST(Plot, HostsOfARealPdshRunAndTheirSum) {
  SKIP_UNLESS_PROGRAM("pdsh");
  SKIP_UNLESS_PROGRAM("gnuplot");
  SKIP_UNLESS_PNG_DECODER();
  scratch_dir targets(direct_io_scratch_parent());
  for (const char* host : {"h1", "h2", "h3"})
    targets.make_file(std::string("target.") + host, 8 << 20);
  run_options pdsh_options;
  pdsh_options.timeout_seconds = 60;
  // pdsh's exec module runs the command here once for each "host", with %h
  // standing for its name: each load on a target of its own.
  const run_result run =
      run_command({"pdsh", "-R", "exec", "-w", "h[1-3]", iothrash_path(),
                   targets.path + "/target.%h", "1", "0.3", "0.1", "4096", "1", "4"},
                  pdsh_options);
  ASSERT_EQ(run.exit_status, 0) << run.err;
  ASSERT_EQ(run.err, "");
  // Each host's own report, its prefix taken off.
  std::map<std::string, std::string> reports;
  for (const std::string& line : lines_of(run.out)) {
    const size_t colon = line.find(": ");
    ASSERT_NE(colon, std::string::npos) << line;
    reports[line.substr(0, colon)] += line.substr(colon + 2) + "\n";
  }
  ASSERT_EQ(reports.size(), 3u) << run.out;
  for (const auto& [host, report] : reports) ASSERT_EQ(totals_of(report).size(), 4u) << host;

  scratch_dir scratch;
  const std::string copy = scratch.path + "/gnuplot-input";
  run_options options;
  options.environment = keeping_gnuplot_input(scratch, copy);
  const std::string combined = scratch.path + "/hosts.txt";
  write_file(combined, run.out);
  const run_result result = run_plot({combined}, options);
  ASSERT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.err, "");

  const gnuplot_input input = parse_gnuplot_input(read_file(copy));
  EXPECT_EQ(input.upper_titles, (std::vector<std::string>{"h1", "h2", "h3", "all hosts"}));
  ASSERT_EQ(input.datablocks.count("sum_1"), 1u);
  EXPECT_EQ(column_of(input.datablocks.at("sum_1"), 1),
            sums_of({reports["h1"], reports["h2"], reports["h3"]}));
  for (int k = 1; k <= 3; ++k) {
    const std::string host = "h" + std::to_string(k);
    ASSERT_EQ(input.datablocks.count("iops_" + std::to_string(k)), 1u) << host;
    EXPECT_EQ(column_of(input.datablocks.at("iops_" + std::to_string(k)), 1),
              totals_of(reports[host]))
        << host;
  }

  // Each host in a colour of its own, and the sum: drawn thick and black, it
  // darkens the rates' graph beyond what the same hosts as three files do.
  // Hosts that share one machine run at nearly the same rates, so their
  // lines may hide each other: their colours are counted with the legend's.
  const png_picture picture = read_png(scratch.path + "/hosts.png");
  ASSERT_EQ(picture.error, "");
  EXPECT_EQ(picture.width, kWidth);
  EXPECT_EQ(picture.height, kHeight);
  for (size_t k = 0; k < std::size(kReportColours); ++k) {
    const colour_extent extent = extent_of(picture, kReportColours[k]);
    const size_t pixels = extent.upper_pixels + extent.legend_pixels;
    EXPECT_EQ(pixels > kLegendLinePixels, k < 3) << "colour " << k << ": " << pixels << " pixels";
  }
  std::vector<std::string> separate = {"-o", scratch.path + "/separate.png"};
  for (const auto& [host, report] : reports) {
    write_file(scratch.path + "/" + host, report);
    separate.push_back(scratch.path + "/" + host);
  }
  ASSERT_EQ(run_plot(separate).exit_status, 0);
  const png_picture without_sum = read_png(scratch.path + "/separate.png");
  ASSERT_EQ(without_sum.error, "");
  const size_t black = black_inside_rates_graph(picture),
               black_without_sum = black_inside_rates_graph(without_sum);
  EXPECT_GT(black, black_without_sum + 600)
      << black << " black pixels against " << black_without_sum;
}

}  // namespace
