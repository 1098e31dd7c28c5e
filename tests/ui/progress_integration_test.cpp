// A real engine operation under the progress sheet: a name search over a browsed xorriso volume,
// cancelled with the sheet's own Cancel button while the engine runs.
#include "recoveryfixture.h"
#include "uifakes.h"

#include <gtest/gtest.h>

#include <QDialog>
#include <QMainWindow>
#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace {

TEST(ProgressIntegration, CancelOnTheSheetStopsASearchOfARealVolume)
{
    RECOVERY_REQUIRE_TOOLS("xorriso");
    TreeSpec tree;
    constexpr int kFiles = 60;
    for (int i = 0; i < kFiles; ++i)
        tree.file("folder" + std::to_string(i % 4) + "/match-" + std::to_string(i) + ".txt", 16, uint32_t(i));
    XorrisoDisk xd;
    ASSERT_NO_FATAL_FAILURE(makeXorrisoDisk(&xd, tree));

    FakeServices fakes;
    fakes.clock->stepPerRead = 0.2; // every progress update passes the throttle
    fakes.pump->forward = true;     // the sheet's events are handled, as in the program
    TestController controller(fakes.services());
    controller.loadWindowDescription();
    controller.updateUIstrings();
    controller.mainWindow->show();
    AppController::setApplicationDelegate(&controller);
    CRecovery* engine = controller.rec;
    quietly([&] {
        ASSERT_TRUE(engine->setDisk(xd.partition));
        engine->openExistingVolume();
    });
    ASSERT_NE(engine->resultRoot, nullptr);

    ASSERT_TRUE(
        controller.beginProgressSheet(QStringLiteral("SearchingFilesPleaseWait"), QStringLiteral("SearchProgress")));
    bool clicked = false, sheetShownAtClick = false;
    // Runs inside the first progress update's event handling, while the engine is mid-walk.
    QTimer::singleShot(0, &controller, [&] {
        clicked = true;
        sheetShownAtClick = controller.progressWindow->isVisible();
        QTest::mouseClick(controller.progressCancelButton, Qt::LeftButton);
    });
    quietly([&] { engine->searchItems("match"); });
    const bool buttonEnabledAtEnd = controller.progressCancelButton->isEnabled();
    controller.endProgressSheet();

    EXPECT_TRUE(clicked);
    EXPECT_TRUE(sheetShownAtClick);
    EXPECT_TRUE(controller.cancelAction);
    EXPECT_FALSE(buttonEnabledAtEnd);
    ASSERT_NE(engine->searchFolder, nullptr);
    EXPECT_LT(engine->searchFolder->children.size(), size_t(kFiles)) << "the search ran to the end";
    EXPECT_FALSE(controller.progressWindow->isVisible());
    EXPECT_FALSE(controller.isBusy());

    // Without Cancel the same search finds every file.
    ASSERT_TRUE(
        controller.beginProgressSheet(QStringLiteral("SearchingFilesPleaseWait"), QStringLiteral("SearchProgress")));
    quietly([&] { engine->searchItems("match"); });
    controller.endProgressSheet();
    EXPECT_EQ(engine->searchFolder->children.size(), size_t(kFiles));

    quietly([&] { engine->setDisk(nullptr); });
    AppController::setApplicationDelegate(nullptr);
}

} // namespace
