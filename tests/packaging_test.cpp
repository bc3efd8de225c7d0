// Installing kiv: the installed tree, the Debian package (its fields, its contents, no maintainer
// scripts, installed into a scratch root), manual pages that render without warnings, a desktop
// entry and metadata that validate, and help texts, manual pages and README that agree.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "app/kiv_options.h"
#include "app/kivtool/kivtool.h"
#include "app/mapping_setup.h"
#include "support/test_support.h"

using namespace kivtest;

namespace {

// Runs a shell command; its standard output and error together, and its status.
std::pair<int, std::string> shell(const std::string& command) {
    return shellOutput(command);
}

std::string text(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

const std::string kBuild = KIV_BUILD_DIR;
const std::vector<std::string> kPages = {"kiv.1", "kivtool.1", "kiv-gui.1", "kiv.5"};

}  // namespace

TEST(Packaging, ManPagesRenderWithoutWarnings) {
    for (const std::string& page : kPages) {
        SCOPED_TRACE(page);
        const auto [status, out] = shell("groff -man -ww -z '" + kBuild + "/man/" + page + "'");
        EXPECT_EQ(status, 0);
        EXPECT_EQ(out, "");
        EXPECT_NE(text(kBuild + "/man/" + page).find("kiv " KIV_VERSION), std::string::npos)
            << "the version comes from the project";
    }
}

TEST(Packaging, WindowAnswersHelpAndVersionWithoutAWindow) {
    const std::string gui = "DISPLAY= QT_QPA_PLATFORM= '" + kBuild + "/kiv-gui'";
    const auto [helpStatus, help] = shell(gui + " --help");
    EXPECT_EQ(helpStatus, 0);
    EXPECT_EQ(help.rfind("usage: kiv-gui [--watch] [SCRIPT | ARCHIVE.kiv]\n", 0), 0u) << help;
    EXPECT_NE(help.find("  --watch "), std::string::npos) << help;
    EXPECT_EQ(shell(gui + " --version"),
              std::make_pair(0, std::string("kiv-gui " KIV_VERSION "\n")));
    const auto [status, out] = shell("QT_QPA_PLATFORM=offscreen '" + kBuild + "/kiv-gui' --bogus");
    EXPECT_EQ(status, 2);
    EXPECT_NE(out.find("kiv-gui: unknown option --bogus\ntry 'kiv-gui --help'\n"),
              std::string::npos)
        << out;
}

TEST(Packaging, DesktopEntryAndMetadataValidate) {
    auto [status, out] = shell("desktop-file-validate '" +
                               sourcePath("packaging/io.github.kivtools.kivgui.desktop") + "'");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "");
    std::tie(status, out) = shell("appstreamcli validate --no-net --pedantic '" + kBuild +
                                  "/io.github.kivtools.kivgui.metainfo.xml'");
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("Validation was successful."), std::string::npos) << out;
    EXPECT_EQ(shell("bash -n '" + sourcePath("packaging/completions/kiv") + "' && bash -n '" +
                    sourcePath("packaging/completions/kivtool") + "'")
                  .first,
              0);
}

TEST(Packaging, InstallTreeAndDebianPackage) {
    ScopedTempDir dir;
    const std::string here = dir.path();
    auto [status, out] = shell("cmake --install '" + kBuild + "' --prefix '" + here + "/tree'");
    ASSERT_EQ(status, 0) << out;
    const std::vector<std::string> installed = {
        "bin/kiv",
        "bin/kivtool",
        "bin/kiv-gui",
        "share/man/man1/kiv.1",
        "share/man/man1/kivtool.1",
        "share/man/man1/kiv-gui.1",
        "share/man/man5/kiv.5",
        "share/applications/io.github.kivtools.kivgui.desktop",
        "share/icons/hicolor/scalable/apps/io.github.kivtools.kivgui.svg",
        "share/mime/packages/io.github.kivtools.kivgui.xml",
        "share/metainfo/io.github.kivtools.kivgui.metainfo.xml",
        "share/bash-completion/completions/kiv",
        "share/bash-completion/completions/kivtool",
        "include/kiv/kiv.h",
        "share/man/man3/libkiv.3"};
    for (const std::string& file : installed) EXPECT_TRUE(fileExists("tree/" + file)) << file;
    EXPECT_EQ(shell("tree/bin/kiv --version").second, "kiv " KIV_VERSION "\n");

    std::tie(status, out) = shell("cd '" + kBuild + "' && cpack -G DEB -B '" + here + "/deb'");
    ASSERT_EQ(status, 0) << out;
    const std::string deb = "deb/kiv_" KIV_VERSION "_amd64.deb";
    ASSERT_TRUE(fileExists(deb)) << out;
    const std::string fields = shell("dpkg-deb -f " + deb).second;
    for (const char* field :
         {"Package: kiv", "Version: " KIV_VERSION, "Section: graphics", "Depends: ", "libpng16-16",
          "libqt6widgets6", "libc6", "Description: build the asset archives of 256-colour games"}) {
        EXPECT_NE(fields.find(field), std::string::npos) << field << "\n" << fields;
    }
    // No maintainer scripts but the ldconfig calls that CPack adds for libkiv.so.
    EXPECT_EQ(shell("dpkg-deb --ctrl-tarfile " + deb + " | tar -t | sort").second,
              "./control\n./md5sums\n./postinst\n./postrm\n");
    EXPECT_EQ(shell("dpkg-deb -I " + deb + " postinst | grep -v '^#' | grep -c ldconfig").second,
              "1\n");
    const std::string contents = shell("dpkg-deb -c " + deb).second;
    for (const std::string& file : installed) {
        EXPECT_NE(contents.find("./usr/" + file), std::string::npos) << file;
    }
    // Installed into a scratch root by dpkg itself (its libraries are this machine's).
    ASSERT_EQ(shell("mkdir -p root/var/lib/dpkg/info root/var/lib/dpkg/updates && touch "
                    "root/var/lib/dpkg/status")
                  .first,
              0);
    std::tie(status, out) = shell("dpkg --root=\"$PWD/root\" --force-depends "
                                  "--force-script-chrootless -i " + deb);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(shell("dpkg --root=root -s kiv").second.find("Status: install ok installed"),
              std::string::npos);
    EXPECT_EQ(shell("root/usr/bin/kivtool --version").second, "kivtool " KIV_VERSION "\n");
}

// Every option of every table, as the parsers read them, is in the help, the manual page and
// (kiv's) the README; and every kivtool subcommand is in all three.
TEST(Packaging, HelpManualAndReadmeAgree) {
    const std::string readme = text(sourcePath("README.md"));
    const std::string kivPage = text(kBuild + "/man/kiv.1");
    const std::string toolPage = text(kBuild + "/man/kivtool.1");
    auto escaped = [](const std::string& name) {
        std::string out;
        for (char c : name.substr(0, name.ends_with("NAME") ? name.size() - 4 : name.size()))
            out += c == '-' ? std::string("\\-") : std::string(1, c);
        return out;
    };
    std::vector<std::string> kivNames = kiv::optionNames(kiv::kKivOptions);
    for (const std::string& name : kiv::optionNames(kiv::kMappingOptions)) kivNames.push_back(name);
    for (const char* more : {"/k", "misspelt-command", "unended-line"}) kivNames.push_back(more);
    const std::string kivHelp = runKiv({"--help"}).output;
    for (const std::string& name : kivNames) {
        SCOPED_TRACE(name);
        EXPECT_NE(kivHelp.find(name), std::string::npos);
        EXPECT_NE(kivPage.find(escaped(name)), std::string::npos);
        std::string quoted = "`";  // appended: GCC 12 at -O3 sees overlaps in "`" + text
        quoted += name.substr(0, name.ends_with("NAME") ? name.size() - 4 : name.size());
        EXPECT_NE(readme.find(quoted), std::string::npos);
    }
    const std::string toolHelp = runKivtool({"--help"}).output;
    for (const kiv::Subcommand* row : kiv::subcommands()) {
        const std::string command = row->name;
        const std::span<const kiv::OptionEntry> table = row->options;
        SCOPED_TRACE(command);
        EXPECT_NE(toolHelp.find(std::string("  ") + command), std::string::npos);
        EXPECT_NE(toolPage.find(std::string(".B kivtool ") + command), std::string::npos);
        EXPECT_NE(readme.find(std::string("kivtool ") + command), std::string::npos);
        const std::string help = runKivtool({command, "--help"}).output;
        for (const std::string& name : kiv::optionNames(table)) {
            SCOPED_TRACE(name);
            EXPECT_NE(help.find(name), std::string::npos);
            EXPECT_NE(toolPage.find(escaped(name)), std::string::npos);
        }
    }
}
