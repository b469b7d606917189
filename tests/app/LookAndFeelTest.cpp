#include "app/LookAndFeel.h"
#include "connection/Form1.h"

#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kestrove;

namespace {

void writeFile(const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content);
}

void appendLittleEndian(QByteArray& bytes, quint32 value, int size) {
    for (int i = 0; i < size; ++i)
        bytes.append(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// A 32 x 32 Windows cursor file, 32 bits per pixel, with the given hotspot.
QByteArray cursorFile(int hotX, int hotY) {
    const int side = 32;
    const quint32 pixels = side * side * 4;
    const quint32 mask = side * side / 8;
    const quint32 image = 40 + pixels + mask;
    QByteArray bytes;
    appendLittleEndian(bytes, 0, 2); // reserved
    appendLittleEndian(bytes, 2, 2); // type: cursor
    appendLittleEndian(bytes, 1, 2); // one image
    bytes.append(static_cast<char>(side)).append(static_cast<char>(side)).append('\0').append('\0');
    appendLittleEndian(bytes, hotX, 2);
    appendLittleEndian(bytes, hotY, 2);
    appendLittleEndian(bytes, image, 4);
    appendLittleEndian(bytes, 22, 4); // offset of the image
    appendLittleEndian(bytes, 40, 4); // bitmap header size
    appendLittleEndian(bytes, side, 4);
    appendLittleEndian(bytes, side * 2, 4); // colour and mask halves
    appendLittleEndian(bytes, 1, 2);
    appendLittleEndian(bytes, 32, 2);
    for (int i = 0; i < 6; ++i)
        appendLittleEndian(bytes, 0, 4);
    for (quint32 i = 0; i < pixels / 4; ++i)
        appendLittleEndian(bytes, 0xFF204080, 4);
    bytes.append(QByteArray(static_cast<int>(mask), '\0'));
    return bytes;
}

QColor background(const QWidget& widget) {
    return widget.palette().color(QPalette::Window);
}

} // namespace

TEST(LookAndFeel, FileExistsAnswersWithoutFailing) {
    QTemporaryDir folder;
    writeFile(folder.filePath(QStringLiteral("HAND-M.CUR")), "x");
    EXPECT_TRUE(FileExists(folder.filePath(QStringLiteral("HAND-M.CUR"))));
    EXPECT_FALSE(FileExists(folder.filePath(QStringLiteral("missing.cur"))));
    EXPECT_FALSE(FileExists(QString()));
    EXPECT_FALSE(FileExists(QStringLiteral("/no/such/folder/\x01\x02")));
}

TEST(LookAndFeel, ApplicationTitleIsCutWordByWordToFortyCharacters) {
    EXPECT_EQ(ApplicationTitleFrom(QStringLiteral("Kestrove")), QStringLiteral("Kestrove"));
    // 48 characters: "ten" goes (44 left), then "nine" (39 left).
    EXPECT_EQ(
        ApplicationTitleFrom(QStringLiteral("one two three four five six seven eight nine ten")),
        QStringLiteral("one two three four five six seven eight"));
    EXPECT_EQ(ApplicationTitleFrom(QString(40, QLatin1Char('k'))), QString(40, QLatin1Char('k')));
    // No space left to cut at: cut at 40.
    EXPECT_EQ(ApplicationTitleFrom(QString(45, QLatin1Char('k'))), QString(40, QLatin1Char('k')));
}

TEST(LookAndFeel, SkinOnlyFromAnOrdinaryStyleFile) {
    QTemporaryDir folder;
    Form1 form;
    const auto labels = form.findChildren<QLabel*>();
    ASSERT_EQ(labels.size(), 5);

    // No style file, or a folder of its name: the window stays white and unstyled.
    ApplySkin(form, folder.path());
    QDir().mkpath(folder.filePath(QStringLiteral("x/o.cjs")));
    ApplySkin(form, folder.path());
    EXPECT_EQ(background(form), QColor(Qt::white));
    EXPECT_EQ(background(*labels.first()), QColor(Qt::white));
    EXPECT_TRUE(form.styleSheet().isEmpty());

    QDir(folder.filePath(QStringLiteral("x/o.cjs"))).removeRecursively();
    const QByteArray style = "QPushButton { color: #123456; }";
    writeFile(folder.filePath(QStringLiteral("x/o.cjs")), style);
    ApplySkin(form, folder.path());
    EXPECT_EQ(background(form), ButtonFace());
    for (const QLabel* label : labels)
        EXPECT_EQ(background(*label), ButtonFace()) << label->objectName().toStdString();
    EXPECT_EQ(background(*form.findChild<QGroupBox*>()), ButtonFace());
    EXPECT_EQ(form.styleSheet(), QString::fromUtf8(style));
}

TEST(LookAndFeel, HandPointerFileGivesImageAndHotspot) {
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("HAND-M.CUR"));
    writeFile(path, cursorFile(5, 7));
    const QCursor cursor = LoadCursorFile(path);
    EXPECT_EQ(cursor.hotSpot(), QPoint(5, 7));
    EXPECT_EQ(cursor.pixmap().size(), QSize(32, 32));

    // A file that is no picture is a failure for the caller to report.
    writeFile(path, "not a cursor");
    EXPECT_THROW(LoadCursorFile(path), std::exception);
}

TEST(LookAndFeel, CustomPointerIsTheImageOrAPointingHand) {
    Form1 form;
    WindowPointer& pointer = form.pointer();
    auto* server = form.findChild<QLineEdit*>(QStringLiteral("Text1"));

    pointer.set(PointerCustom);
    EXPECT_EQ(form.cursor().shape(), Qt::PointingHandCursor);
    // The setting covers every control, the edit boxes too.
    EXPECT_EQ(server->cursor().shape(), Qt::PointingHandCursor);
    pointer.set(PointerBusy);
    EXPECT_EQ(server->cursor().shape(), Qt::WaitCursor);
    // The default gives each control its own cursor back.
    pointer.set(PointerDefault);
    EXPECT_EQ(server->cursor().shape(), Qt::IBeamCursor);
    EXPECT_EQ(form.cursor().shape(), Qt::ArrowCursor);

    QPixmap image(16, 16);
    image.fill(Qt::red);
    pointer.setImage(QCursor(image, 1, 2));
    pointer.set(PointerCustom);
    EXPECT_EQ(server->cursor().shape(), Qt::BitmapCursor);
    EXPECT_EQ(server->cursor().hotSpot(), QPoint(1, 2));
}
