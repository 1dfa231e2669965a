// The tool as it is built by others and installed: a packager's plain build,
// `cmake --install` into a scratch prefix, and the Debian package CPack
// makes, checked by lintian, read with dpkg-deb, unpacked and run, and, as
// root, installed with dpkg, used from the PATH and removed again.
#include <sys/stat.h>

#include <filesystem>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

// What an installation holds below its prefix, and which of it runs.
struct installed_file {
  const char* path;
  bool executable;
};
const installed_file kInstalledFiles[] = {
    {"bin/iothrash", true},
    {"bin/iothrash-plot", true},
    {"share/man/man1/iothrash.1.gz", false},
    {"share/doc/iothrash/copyright", false},
    {"share/doc/iothrash/changelog.gz", false},
};
// Beside them, iothrash-plot's page: a link to the one page of both.
constexpr const char* kPlotPageLink = "share/man/man1/iothrash-plot.1.gz";
constexpr const char* kPlotPageLinkTarget = "iothrash.1.gz";

// dpkg and cpack may take a while on a loaded machine.
run_options patiently(double timeout_seconds) {
  run_options options;
  options.timeout_seconds = timeout_seconds;
  return options;
}

// The regular files below `folder`, by their paths relative to it, each with
// whether anyone may run it.
std::map<std::string, bool> files_below(const std::string& folder) {
  std::map<std::string, bool> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    const auto permissions = entry.status().permissions();
    files[std::filesystem::relative(entry.path(), folder)] =
        (permissions & std::filesystem::perms::others_exec) != std::filesystem::perms::none;
  }
  return files;
}

std::map<std::string, bool> expected_files(const std::string& prefix) {
  std::map<std::string, bool> files;
  for (const installed_file& file : kInstalledFiles) files[prefix + file.path] = file.executable;
  return files;
}

// What gzip -d makes of a file; empty when it cannot.
std::string gunzipped(const std::string& path) {
  const run_result result = run_command({"gzip", "-dc", path});
  return result.exit_status == 0 ? result.out : "";
}

// A file compressed as `gzip -9n` does: maximum compression, and neither the
// name nor the time in its header, so that a rebuild gives the same bytes.
void expect_compressed_reproducibly(const std::string& path, const std::string& contents) {
  EXPECT_EQ(gunzipped(path), contents) << path;
  const std::string header = read_file(path).substr(0, 10);
  ASSERT_EQ(header.size(), 10u) << path;
  EXPECT_EQ(header.substr(0, 3), "\x1f\x8b\x08") << path << ": not gzip";
  EXPECT_EQ(header[3] & 0x08, 0) << path << ": the file's name is in the header";
  EXPECT_EQ(header.substr(4, 4), std::string(4, '\0')) << path << ": a time is in the header";
  EXPECT_EQ(header[8], 2) << path << ": not compressed with -9";
}

TEST(Install, PutsTheProgramsAndTheManualUnderThePrefix) {
  scratch_dir prefix;
  const run_result install =
      run_command({IOTHRASH_CMAKE, "--install", IOTHRASH_BUILD_DIR, "--prefix", prefix.path});
  ASSERT_EQ(install.exit_status, 0) << install.out << install.err;
  EXPECT_EQ(files_below(prefix.path), expected_files(""));
  std::error_code no_link;
  EXPECT_EQ(std::filesystem::read_symlink(prefix.path + "/" + kPlotPageLink, no_link),
            kPlotPageLinkTarget)
      << no_link.message();
  expect_compressed_reproducibly(prefix.path + "/share/man/man1/iothrash.1.gz",
                                 read_file(source_path("man/iothrash.1")));
  expect_compressed_reproducibly(prefix.path + "/share/doc/iothrash/changelog.gz",
                                 read_file(source_path("cmake/debian/changelog")));
  EXPECT_EQ(read_file(prefix.path + "/bin/iothrash-plot"), read_file(plot_script_path()));

  const std::string installed = prefix.path + "/bin/iothrash";
  const run_result usage = run_command({installed});
  EXPECT_EQ(usage.err, usage_message(installed));
  EXPECT_EQ(usage.exit_status, 1);

  if (!have_program("man")) GTEST_SKIP() << "needs man (man-db) to look the pages up";
  // man finds both pages under the prefix, and the plot's page is the whole
  // manual.
  run_options options;
  options.environment = {"MANPATH=" + prefix.path + "/share/man", "MANWIDTH=80"};
  for (const char* page : {"iothrash", "iothrash-plot"}) {
    // man -w follows the plot's link to the page it points at.
    const run_result where = run_command({"man", "-w", page}, options);
    EXPECT_EQ(where.out, prefix.path + "/share/man/man1/iothrash.1.gz\n") << page;
    const run_result shown = run_command({"man", page}, options);
    EXPECT_EQ(shown.exit_status, 0) << page << ": " << shown.err;
    EXPECT_NE(shown.out.find("PLOTTING A REPORT"), std::string::npos) << page << ":\n" << shown.out;
  }
}

// A packager's plain `cmake -S . -B build && cmake --build build` must build
// whatever new warning a newer compiler finds; the presets that developers
// and CI use must stop on it. -Wpadded stands for that new warning: the
// statistics records are padded to a cache line, so it fires. One object is
// built in each configuration, to keep the test short.
TEST(Build, PlainBuildShowsWarningsThatThePresetsMakeFatal) {
  scratch_dir scratch;
  struct {
    const char* name;
    std::vector<std::string> preset;
    const char* expected_diagnostic;
    bool expected_to_build;
  } const configurations[] = {
      {"plain", {}, "warning: padding struct size", true},
      {"default preset", {"--preset", "default"}, "error: padding struct size", false},
  };
  for (const auto& c : configurations) {
    SCOPED_TRACE(c.name);
    const std::string build = scratch.path + "/" + c.name;
    std::vector<std::string> configure = {IOTHRASH_CMAKE};
    configure.insert(configure.end(), c.preset.begin(), c.preset.end());
    configure.insert(configure.end(), {"-S", source_path("."), "-B", build, "-G", "Unix Makefiles",
                                       "-DBUILD_TESTING=OFF", "-DCMAKE_CXX_FLAGS=-Wpadded"});
    const run_result configured = run_command(configure, patiently(120));
    ASSERT_EQ(configured.exit_status, 0) << configured.out << configured.err;
    const run_result built =
        run_command({IOTHRASH_CMAKE, "--build", build, "--target", "src/load/interval_stats.cc.o"},
                    patiently(120));
    const std::string output = built.out + built.err;
    EXPECT_NE(output.find(c.expected_diagnostic), std::string::npos) << output;
    EXPECT_EQ(built.exit_status == 0, c.expected_to_build) << output;
  }
}

std::string debian_architecture() {
  return trimmed(run_command({"dpkg", "--print-architecture"}).out);
}

// The package CPack makes of the build, in `scratch`; its path, or empty.
std::string build_package(const scratch_dir& scratch) {
  // CPack stages and packs in a folder of the test's own; in the build tree it
  // only runs the preinstall step (nothing to do on the build that was just
  // made) and rewrites install_manifest.txt, as `cmake --install` does.
  const std::string folder = scratch.path + "/package";
  const run_result cpack =
      run_command({IOTHRASH_CPACK, "--config",
                   std::string(IOTHRASH_BUILD_DIR) + "/CPackConfig.cmake", "-B", folder},
                  patiently(120));
  EXPECT_EQ(cpack.exit_status, 0) << cpack.out << cpack.err;
  const std::string package =
      folder + "/iothrash_" + IOTHRASH_VERSION + "_" + debian_architecture() + ".deb";
  EXPECT_TRUE(std::filesystem::exists(package)) << package << " missing; cpack said:\n"
                                                << cpack.out;
  return std::filesystem::exists(package) ? package : "";
}

#define SKIP_UNLESS_PACKAGE_TOOLS()        \
  do {                                     \
    SKIP_UNLESS_PROGRAM("dpkg");           \
    SKIP_UNLESS_PROGRAM("dpkg-deb");       \
    SKIP_UNLESS_PROGRAM("dpkg-shlibdeps"); \
  } while (0)

TEST(Package, HoldsTheToolWithItsDependenciesAndRunsUnpacked) {
  SKIP_UNLESS_PACKAGE_TOOLS();
  scratch_dir scratch;
  const std::string package = build_package(scratch);
  ASSERT_FALSE(package.empty());

  struct {
    const char* field;
    std::string pattern;
  } const fields[] = {
      {"Package", "iothrash"},
      {"Version", std::regex_replace(IOTHRASH_VERSION, std::regex(R"(\.)"), R"(\.)")},
      {"Architecture", debian_architecture()},
      {"Section", "utils"},
      {"Priority", "optional"},
      {"Maintainer", R"(.+ <[^ @]+@[^ @]+>)"},
      // The C and C++ libraries found by dpkg-shlibdeps; gnuplot only
      // recommended, as only the plot needs it.
      {"Depends", R"(.*\blibc6 \(>= [0-9.]+\).*)"},
      {"Depends", R"(.*\blibstdc\+\+6 \(>= [0-9.]+\).*)"},
      {"Depends", R"((?:(?!gnuplot).)*)"},
      {"Recommends", "gnuplot-nox"},
      {"Description",
       R"(random direct-I/O load on a file or disk, with a latency table\n(?: .+\n)*)"
       R"( .*destroy the data on the target\.)"},
  };
  for (const auto& f : fields) {
    const std::string value = trimmed(run_command({"dpkg-deb", "-f", package, f.field}).out);
    EXPECT_TRUE(std::regex_match(value, std::regex(f.pattern)))
        << f.field << ": " << value << "\ndoes not match: " << f.pattern;
  }

  // The files, owned by root, and nothing else (no tests, no build leftovers).
  std::map<std::string, bool> listed;
  std::vector<std::string> links;
  for (const std::string& line : lines_of(run_command({"dpkg-deb", "-c", package}).out)) {
    EXPECT_NE(line.find(" root/root "), std::string::npos) << line;
    if (!line.empty() && line[0] == 'l') links.push_back(line.substr(line.find("./")));
    if (line.empty() || line[0] != '-') continue;  // folders and links
    listed[line.substr(line.rfind(' ') + 1)] = line[9] == 'x';
  }
  EXPECT_EQ(listed, expected_files("./usr/"));
  EXPECT_EQ(links, std::vector<std::string>{std::string("./usr/") + kPlotPageLink + " -> " +
                                            kPlotPageLinkTarget});

  const std::string root = scratch.path + "/root";
  const run_result unpack = run_command({"dpkg-deb", "-x", package, root});
  ASSERT_EQ(unpack.exit_status, 0) << unpack.err;
  const std::string unpacked = root + "/usr/bin/iothrash";
  const run_result usage = run_command({unpacked});
  EXPECT_EQ(usage.err, usage_message(unpacked));
  EXPECT_EQ(usage.out, "");
  EXPECT_EQ(usage.exit_status, 1);
  const run_result plot_help = run_command({root + "/usr/bin/iothrash-plot", "-h"});
  EXPECT_TRUE(plot_help.out.starts_with("usage: iothrash-plot ")) << plot_help.out;
  EXPECT_EQ(plot_help.exit_status, 0);
}

// Error and warning tags that lintian may report on the package without
// failing the test, each with why it stands. Information and pedantic tags are
// advice and never fail it.
const std::set<std::string> kAllowedLintianTags = {
    // None: the package is clean.
};

// Whitespace-separated words of `text`, so that two wrappings of one text
// compare equal.
std::vector<std::string> words_of(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

TEST(Package, PassesLintianAndCarriesItsLicenseAndChangelog) {
  SKIP_UNLESS_PACKAGE_TOOLS();
  SKIP_UNLESS_PROGRAM("lintian");
  scratch_dir scratch;
  const std::string package = build_package(scratch);
  ASSERT_FALSE(package.empty());

  const run_result lint = run_command({"lintian", package}, patiently(300));
  // 0: no error tag, 1: some; anything else means lintian itself failed.
  EXPECT_TRUE(lint.exit_status == 0 || lint.exit_status == 1) << lint.err;
  for (const std::string& line : lines_of(lint.out)) {
    if (!line.starts_with("E: ") && !line.starts_with("W: ")) continue;
    // "E: iothrash: tag-name [where]"
    std::istringstream fields(line);
    std::string kind, package_name, tag;
    fields >> kind >> package_name >> tag;
    EXPECT_TRUE(kAllowedLintianTags.count(tag)) << line;
  }

  const std::string root = scratch.path + "/root";
  ASSERT_EQ(run_command({"dpkg-deb", "-x", package, root}).exit_status, 0);
  // The copyright file: machine-readable, and LICENSE's terms word for word.
  const std::string copyright = read_file(root + "/usr/share/doc/iothrash/copyright");
  EXPECT_TRUE(copyright.starts_with(
      "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"))
      << copyright;
  EXPECT_NE(copyright.find("\nCopyright: 2026 The iothrash authors\nLicense: BSD-2-Clause\n"),
            std::string::npos)
      << copyright;
  const std::string license = read_file(source_path("LICENSE"));
  ASSERT_NE(license.find("Copyright (c) 2026 The iothrash authors\n"), std::string::npos);
  const size_t terms_at = copyright.rfind("License: BSD-2-Clause\n");
  ASSERT_NE(terms_at, std::string::npos);
  std::string terms;  // a paragraph break is a lone " ." line
  for (const std::string& line : lines_of(copyright.substr(terms_at))) {
    if (line != " .") terms += line + "\n";
  }
  std::vector<std::string> license_terms = words_of(license.substr(license.find("Redistribution")));
  std::vector<std::string> copyright_terms = words_of(terms);
  copyright_terms.erase(copyright_terms.begin(), copyright_terms.begin() + 2);  // the field
  EXPECT_EQ(copyright_terms, license_terms);
  // The changelog's latest entry is this version.
  const std::string changelog = gunzipped(root + "/usr/share/doc/iothrash/changelog.gz");
  EXPECT_TRUE(changelog.starts_with(std::string("iothrash (") + IOTHRASH_VERSION + ") "))
      << "the changelog has no entry for " << IOTHRASH_VERSION << ":\n"
      << changelog;
}

std::string package_status() {
  return run_command({"dpkg-query", "-W", "-f=${Status}", "iothrash"}).out;
}

bool package_present() {
  const std::string status = package_status();
  return !status.empty() && !status.ends_with("not-installed");
}

// Removes the package when the test ends, however it ends, so that no run
// leaves it installed.
struct removed_at_end {
  ~removed_at_end() {
    if (!package_present()) return;
    const run_result removal = run_command({"dpkg", "-r", "iothrash"}, patiently(120));
    if (removal.exit_status != 0) ADD_FAILURE() << "dpkg -r iothrash: " << removal.err;
  }
};

TEST(Package, InstallsWithDpkgRunsFromThePathAndRemovesCleanly) {
  SKIP_UNLESS_ROOT();
  SKIP_UNLESS_PACKAGE_TOOLS();
  SKIP_UNLESS_PROGRAM("man");
  scratch_dir scratch;
  const std::string package = build_package(scratch);
  ASSERT_FALSE(package.empty());

  removed_at_end remover;
  // A run that was killed before it could remove the package leaves it
  // behind; dpkg -i then simply installs this one over it.
  if (package_present())
    std::cout << "iothrash was installed already: " << package_status() << "\n";
  const run_result install = run_command({"dpkg", "-i", package}, patiently(300));
  ASSERT_EQ(install.exit_status, 0) << install.out << install.err;
  EXPECT_EQ(package_status(), "install ok installed");

  EXPECT_EQ(run_command({"/bin/sh", "-c", "command -v iothrash"}).out, "/usr/bin/iothrash\n");
  const run_result usage = run_command({"iothrash"});
  EXPECT_EQ(usage.err, usage_message("iothrash"));
  EXPECT_EQ(usage.exit_status, 1);
  for (const char* page : {"iothrash", "iothrash-plot"}) {
    const run_result where = run_command({"man", "-w", page});
    EXPECT_EQ(where.out, "/usr/share/man/man1/iothrash.1.gz\n") << page << ": " << where.err;
    const run_result shown = run_command({"man", page});
    EXPECT_NE(shown.out.find("PLOTTING A REPORT"), std::string::npos) << page << ": " << shown.err;
  }
  // The installed programs together: a real run, plotted from the PATH when
  // the recommended gnuplot is there.
  if (have_program("gnuplot")) {
    scratch_dir load_scratch(direct_io_scratch_parent());
    const std::string report = load_scratch.path + "/report.txt";
    ASSERT_TRUE(write_file(
        report, record_report(load_scratch, {"1", "0.5", "0.1", "4096", "1", "2"}, "iothrash")));
    const run_result plot = run_command({"iothrash-plot", report});
    EXPECT_EQ(plot.exit_status, 0) << plot.err;
    EXPECT_EQ(read_file(load_scratch.path + "/report.png").substr(0, 4), "\x89PNG");
  } else {
    std::cout << "gnuplot is missing: the installed plot is not run\n";
  }

  const run_result removal = run_command({"dpkg", "-r", "iothrash"}, patiently(120));
  EXPECT_EQ(removal.exit_status, 0) << removal.err;
  EXPECT_FALSE(package_present()) << package_status();
  EXPECT_FALSE(std::filesystem::exists("/usr/bin/iothrash"));
  EXPECT_FALSE(std::filesystem::exists("/usr/share/man/man1/iothrash.1.gz"));
  EXPECT_FALSE(std::filesystem::exists("/usr/share/man/man1/iothrash-plot.1.gz"));
  EXPECT_FALSE(std::filesystem::exists("/usr/share/doc/iothrash"));
  EXPECT_NE(run_command({"man", "-w", "iothrash"}).exit_status, 0);
}

}  // namespace
