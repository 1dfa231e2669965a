// iothrash-plot on reports of real runs and on files that are not reports:
// the status, the one-line message, and a whole picture of the promised size
// that shows the run, or no picture at all.
#include <filesystem>
#include <set>
#include <string>
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

bool near_colour(uint32_t pixel, uint32_t colour) {
  for (int shift : {0, 8, 16}) {
    const int a = static_cast<int>(pixel >> shift & 0xff),
              b = static_cast<int>(colour >> shift & 0xff);
    if (a - b > 40 || b - a > 40) return false;
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
    const run_result result = run_plot({report});
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
      "usage: iothrash-plot [-i nr_seconds_between_samples] report [out.png]\n"
      "out.png defaults to the report's name with .png for its extension\n";
  const std::string missing = scratch.path + "/missing";
  const command_line_case cases[] = {
      {"no arguments", {}, 1, "USAGE", ""},
      {"three arguments", {"REPORT", "a.png", "b.png"}, 1, "USAGE", ""},
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

}  // namespace
