// One QApplication for the whole suite, offscreen unless QT_QPA_PLATFORM asks for another.
#include <QApplication>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
namespace {
class QtApplicationEnvironment : public testing::Environment {
public:
    void SetUp() override
    {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        static int argc = 1;
        static char name[] = "ui_tests";
        static char* argv[] = {name, nullptr};
        app = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override { app.reset(); }
    std::unique_ptr<QApplication> app;
};
const auto* const environment = testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);
} // namespace
