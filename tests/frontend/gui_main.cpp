// The gui tests' main: a QApplication over GoogleTest, headless, with scratch config, cache
// and state folders whose "FilePath" names the source tree's resources/.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <filesystem>

#include "platform/settings.h"

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 0);
    std::string scratch = (std::filesystem::temp_directory_path() / "kestrel-gui-XXXXXX").string();
    if (!::mkdtemp(scratch.data())) return 1;
    const std::filesystem::path home(scratch);
    ::setenv("KESTREL_CONFIG_DIR", (home / "config").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (home / "cache").c_str(), 1);
    ::setenv("XDG_STATE_HOME", (home / "state").c_str(), 1);
    // An installed data folder must never stand in for the tree's own.
    kestrel::WriteSetting(kestrel::kFilePathValue, KESTREL_SOURCE_DIR "/resources");

    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    std::error_code ec;
    std::filesystem::remove_all(home, ec);
    return result;
}
