#include "QuorvelAboutBox.h"

#include "QuorvelDemoApplication.h"

#include <Quorvel.h>

#include <QDesktopServices>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QUrl>

#include <stdexcept>

namespace {

TShellOpenHandler& ShellOpenHandler() {
    static TShellOpenHandler Handler;
    return Handler;
}

// The product logo: the name over a stylised frame on the line, drawn at the
// logo's size so the program needs no image file.
QPixmap DrawLogo(const QSize& Size) {
    QPixmap Logo(Size);
    Logo.fill(Qt::white);
    QPainter Painter(&Logo);
    Painter.setRenderHint(QPainter::Antialiasing);

    const QRectF Frame(4, 4, Size.width() - 8, Size.height() - 8);
    QLinearGradient Back(Frame.topLeft(), Frame.bottomRight());
    Back.setColorAt(0, QColor(0x1F, 0x3A, 0x68));
    Back.setColorAt(1, QColor(0x2E, 0x86, 0xAB));
    Painter.setPen(Qt::NoPen);
    Painter.setBrush(Back);
    Painter.drawRoundedRect(Frame, 12, 12);

    // A run of bits: a frame's start, its bytes and the silence after it.
    QPainterPath Line;
    const double Base = Frame.bottom() - 22;
    const double High = Base - 14;
    static const bool Bits[] = {1, 0, 1, 1, 0, 0, 1, 0, 1, 1, 1, 0, 1, 0, 0, 1, 1, 0};
    const double Step = (Frame.width() - 40) / (std::size(Bits) + 2);
    double X = Frame.left() + 20;
    Line.moveTo(X, High);
    X += Step;
    for (const bool Bit : Bits) {
        const double Y = Bit ? High : Base;
        Line.lineTo(Line.currentPosition().x(), Y);
        Line.lineTo(X, Y);
        X += Step;
    }
    Line.lineTo(Line.currentPosition().x(), High);
    Line.lineTo(Frame.right() - 20, High);
    Painter.setPen(QPen(QColor(0xF2, 0xC1, 0x4E), 2.5));
    Painter.setBrush(Qt::NoBrush);
    Painter.drawPath(Line);

    QFont Font(QStringLiteral("Tahoma"));
    Font.setPixelSize(44);
    Font.setBold(true);
    Painter.setFont(Font);
    Painter.setPen(Qt::white);
    Painter.drawText(QRectF(Frame.left(), Frame.top() + 6, Frame.width(), 56), Qt::AlignCenter,
                     QStringLiteral("Quorvel"));
    Font.setPixelSize(12);
    Font.setBold(false);
    Painter.setFont(Font);
    Painter.drawText(QRectF(Frame.left(), Frame.top() + 58, Frame.width(), 18), Qt::AlignCenter,
                     QStringLiteral("Modbus over the serial line"));
    return Logo;
}

} // namespace

void SetShellOpenHandler(TShellOpenHandler Handler) {
    ShellOpenHandler() = std::move(Handler);
}

void ShellOpen(const QString& Target) {
    if (ShellOpenHandler()) {
        ShellOpenHandler()(Target);
        return;
    }
    if (!QDesktopServices::openUrl(QUrl(Target)))
        throw std::runtime_error(
            QStringLiteral("The desktop has no program to open \"%1\"").arg(Target).toStdString());
}

TQuorvelAboutForm::TQuorvelAboutForm(QWidget* AOwner) : QDialog(AOwner) {
    setupUi(this);
    // A fixed border with the system menu only: no resizing, no help button.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(320, 336);

    QPalette White = palette();
    White.setColor(QPalette::Window, Qt::white);
    setPalette(White);
    setAutoFillBackground(true);

    LogoImage->setPixmap(DrawLogo(LogoImage->size()));

    for (QLabel* Link : {HomepageLabel, EmailAuthorLabel, EmailAuthorLabel2}) {
        Link->setCursor(Qt::PointingHandCursor);
        QPalette Navy = Link->palette();
        Navy.setColor(QPalette::WindowText, QColor(0, 0, 0x80));
        Link->setPalette(Navy);
        QFont Underlined = Link->font();
        Underlined.setUnderline(true);
        Link->setFont(Underlined);
        Link->installEventFilter(this);
    }
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);
}

bool TQuorvelAboutForm::eventFilter(QObject* Watched, QEvent* Event) {
    if (Event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(Event)->button() == Qt::LeftButton) {
        auto* Sender = static_cast<QLabel*>(Watched);
        RunHandler(this, [this, Sender] {
            if (Sender == HomepageLabel)
                HomepageLabelClick(Sender);
            else
                EmailAuthorLabelClick(Sender);
        });
        return true;
    }
    return QDialog::eventFilter(Watched, Event);
}

void TQuorvelAboutForm::HomepageLabelClick(QLabel* Sender) {
    ShellOpen(Sender->text());
}

void TQuorvelAboutForm::EmailAuthorLabelClick(QLabel* Sender) {
    ShellOpen(QStringLiteral("mailto:") + Sender->text() + QStringLiteral("?subject=Quorvel Inquiry"));
}

void ShowAboutBox() {
    TQuorvelAboutForm Box;
    Box.VersionLabel->setText(QStringLiteral("Version %1").arg(QLatin1String(Quorvel::QuorvelVersion)));
    Box.exec();
}
