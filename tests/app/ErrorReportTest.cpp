#include "app/ErrorReport.h"
#include "support/TestBed.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

using namespace kestrove;
using kestrove::test::MessageBoxRecorder;

namespace {

const QString Location = QStringLiteral("in Pellarine2021/08/31.Form1.PushButton3_Click ");

void failWith(const char* description) {
    throw std::runtime_error(description);
}

} // namespace

TEST(ErrorReport, TextIsExactToTheByte) {
    EXPECT_EQ(ApplicationErrorText(QStringLiteral("Bad thing"), Location, 104),
              QStringLiteral("Bad thing\r\nin Pellarine2021/08/31.Form1.PushButton3_Click at line "
                             "104\r\rPlease email screenshot of this message to "
                             "support@drumlane.example"));
    // An empty description starts the text with CR LF; one blank before the number.
    const QString empty = ApplicationErrorText(QString(), Location, 100);
    EXPECT_TRUE(empty.startsWith(QStringLiteral("\r\nin Pellarine")));
    EXPECT_TRUE(empty.contains(QStringLiteral("_Click at line 100\r\r")));
    EXPECT_EQ(
        LocationText(QStringLiteral("PostgreSQL"), QStringLiteral("AddTablesToPostgreSQLListbox")),
        QStringLiteral("in Pellarine2021/08/31.PostgreSQL.AddTablesToPostgreSQLListbox "));
}

TEST(ErrorReport, ShownAsExclamationBoxTitledApplicationError) {
    MessageBoxRecorder boxes;
    ReportApplicationError(QStringLiteral("x"), Location, 106);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].style, 48);
    EXPECT_EQ(boxes.boxes[0].title, QStringLiteral("Application Error"));
    EXPECT_EQ(boxes.boxes[0].text, ApplicationErrorText(QStringLiteral("x"), Location, 106));
}

TEST(NumberedSteps, FailingStepIsReportedAndLaterStepsRun) {
    MessageBoxRecorder boxes;
    Steps steps(QStringLiteral("Form1"), QStringLiteral("PushButton3_Click"));
    std::vector<int> ran;
    steps(100, [&] { ran.push_back(100); });
    steps(102, [&] { ran.push_back(102); });
    steps(104, [&] {
        failWith("Step 104 broke");
        ran.push_back(104);
    });
    steps(106, [&] { ran.push_back(106); });
    steps(108, [&] { failWith("Step 108 broke"); });
    EXPECT_EQ(ran, (std::vector<int>{100, 102, 106}));
    ASSERT_EQ(boxes.reportedSteps(), (std::vector<int>{104, 108}));
    EXPECT_TRUE(boxes.boxes[0].text.startsWith(QStringLiteral("Step 104 broke\r\n") + Location));
}

TEST(NumberedSteps, ActionsSharingANumberAreUnitsOfTheirOwn) {
    MessageBoxRecorder boxes;
    Steps steps(QStringLiteral("Form1"), QStringLiteral("Form_Load"));
    bool secondRan = false;
    steps(140, [] { failWith("first of three"); });
    steps(140, [&] { secondRan = true; });
    steps(140, [] { failWith("third of three"); });
    EXPECT_TRUE(secondRan);
    EXPECT_EQ(boxes.reportedSteps(), (std::vector<int>{140, 140}));
}

TEST(NumberedSteps, FailureInsideACalledRoutineNamesTheCaller) {
    MessageBoxRecorder boxes;
    Steps steps(QStringLiteral("Form2"), QStringLiteral("Form_Load"));
    auto calledRoutine = [] { failWith("deep down"); };
    steps(110, [&] { calledRoutine(); });
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text,
              ApplicationErrorText(QStringLiteral("deep down"),
                                   QStringLiteral("in Pellarine2021/08/31.Form2.Form_Load "), 110));
}

TEST(NumberedSteps, FailingConditionLeadsIntoTheThenBranch) {
    MessageBoxRecorder boxes;
    Steps steps(QStringLiteral("Form1"), QStringLiteral("PushButton2_Click"));
    const bool branch = steps.test(100, []() -> bool { throw std::runtime_error("no test"); });
    EXPECT_TRUE(branch);
    EXPECT_FALSE(steps.test(100, [] { return false; }));
    EXPECT_EQ(boxes.reportedSteps(), (std::vector<int>{100}));
}

TEST(NumberedSteps, LoopsWithUnreadableBoundsOrFailingTestsEnd) {
    MessageBoxRecorder boxes;
    Steps steps(QStringLiteral("PostgreSQL"), QStringLiteral("AddTablesToPostgreSQLListbox"));
    // A counted loop whose bound cannot be read is skipped.
    const auto count = steps.bound(112, []() -> long { throw std::runtime_error("closed"); });
    EXPECT_FALSE(count.has_value());
    EXPECT_EQ(steps.bound(112, [] { return 7L; }), std::optional<long>(7));

    // A while loop whose test fails on every pass runs its body once and ends.
    int passes = 0;
    steps.whileLoop(
        158, []() -> bool { throw std::runtime_error("no workbook"); }, [&] { ++passes; });
    EXPECT_EQ(passes, 1);
    // An ordinary while loop runs until its test is false.
    int remaining = 3;
    steps.whileLoop(
        120, [&] { return remaining > 0; }, [&] { --remaining; });
    EXPECT_EQ(remaining, 0);
    EXPECT_EQ(boxes.reportedSteps(), (std::vector<int>{112, 158}));
}
