#include "AlertPresenter.h"

#include "service/ServiceContract.h"
#include "views/Palette.h"
#include "views/Symbols.h"

#include <QBoxLayout>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>

namespace {

// Beyond this, a text goes into a bounded, scrolling area: a message box grows with its text,
// past the screen's edge and its own buttons.
constexpr qsizetype kLongText = 400;
constexpr int kMaxNewLines = 8;
constexpr int kLongWord = 50;
constexpr QSize kTextArea{420, 260};

int runLong(const Alert& alert, QWidget* parent)
{
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("VelmoraVovir"));
    auto* icon = new QLabel;
    icon->setPixmap(applicationIconPixmap(64));
    QLabel* title = makeLabel(alert.message, 13, QFont::Bold, TextColor::of(LabelTone::Primary));
    title->setTextFormat(Qt::PlainText);
    auto* text = new QPlainTextEdit;
    text->setObjectName(QStringLiteral("alertText"));
    text->setReadOnly(true);
    text->setPlainText(alert.informative);
    text->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    text->setFixedSize(kTextArea);
    auto* buttons = new QDialogButtonBox;
    QList<QAbstractButton*> added;
    for (const QString& label : alert.buttons)
        added << buttons->addButton(label, QDialogButtonBox::AcceptRole);
    if (added.isEmpty())
        added << buttons->addButton(QDialogButtonBox::Ok);
    int clicked = -1;
    QObject::connect(buttons, &QDialogButtonBox::clicked, &dialog, [&](QAbstractButton* button) {
        clicked = int(added.indexOf(button));
        dialog.accept();
    });
    if (auto* first = qobject_cast<QPushButton*>(added.first()))
        first->setDefault(true);
    auto* column = new QVBoxLayout;
    column->addWidget(title);
    column->addWidget(text);
    column->addWidget(buttons);
    auto* row = new QHBoxLayout(&dialog);
    row->addWidget(icon, 0, Qt::AlignTop);
    row->addLayout(column);
    row->setSizeConstraint(QLayout::SetFixedSize);
    dialog.exec();
    return alert.buttons.isEmpty() ? (clicked >= 0 ? 0 : -1) : clicked;
}

} // namespace

int MessageBoxPresenter::run(const Alert& alert, QWidget* parent)
{
    // A message box's label breaks lines between words only: a longer word (an address) would
    // widen the box off the screen or be cut. The long form's text wraps anywhere.
    static const QRegularExpression longWord(QStringLiteral("\\S{%1,}").arg(kLongWord));
    if (alert.informative.size() > kLongText ||
        alert.informative.count(QLatin1Char('\n')) > kMaxNewLines ||
        alert.informative.contains(longWord))
        return runLong(alert, parent);
    QMessageBox box(parent);
    box.setWindowTitle(QStringLiteral("VelmoraVovir"));
    box.setIconPixmap(applicationIconPixmap(64));
    box.setTextFormat(Qt::PlainText);
    box.setText(alert.message);
    box.setInformativeText(alert.informative);
    // Qt applies the text format to the main text only; texts from outside (the maker's
    // messages) must never be read as rich text in the informative one either.
    if (auto* informative = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
        informative->setTextFormat(Qt::PlainText);
    QList<QAbstractButton*> buttons;
    for (const QString& title : alert.buttons)
        buttons << box.addButton(title, QMessageBox::AcceptRole);
    if (!buttons.isEmpty())
        box.setDefaultButton(qobject_cast<QPushButton*>(buttons.first()));
    box.exec();
    return int(buttons.indexOf(box.clickedButton()));
}

std::optional<ReportForm> MessageBoxPresenter::askReport(const ReportForm& draft, QWidget* parent)
{
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("VelmoraVovir"));
    auto* icon = new QLabel;
    icon->setPixmap(applicationIconPixmap(64));
    QLabel* title = makeLabel(QStringLiteral("Signaler un problème"), 13, QFont::Bold,
                              TextColor::of(LabelTone::Primary));
    QLabel* hint = makeLabel(QStringLiteral("Décris ce qui ne va pas, ça arrive directement chez "
                                            "Velmora Labs. La réponse s'affichera dans l'app."),
                             11, QFont::Normal, TextColor::of(LabelTone::Primary));
    for (QLabel* label : {title, hint}) {
        label->setAlignment(Qt::AlignLeft);
        label->setWordWrap(true);
        label->setFixedWidth(380);
    }
    // The accessory: 380 x 150, the description above the e-mail field.
    auto* accessory = new QWidget;
    accessory->setFixedSize(380, 150);
    auto* text = new QPlainTextEdit(draft.text, accessory);
    text->setObjectName(QStringLiteral("reportText"));
    text->setFont(systemFont(13, QFont::Normal));
    text->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    text->setTabChangesFocus(true); // Tab goes on to the e-mail field
    text->setAccessibleName(QStringLiteral("Description du problème"));
    text->setGeometry(0, 6, 380, 110);
    auto* email = new QLineEdit(draft.email, accessory);
    email->setPlaceholderText(
        QStringLiteral("ton email (facultatif, pour te répondre aussi par mail)"));
    email->setGeometry(0, 126, 380, 24);
    email->setAccessibleName(QStringLiteral("Adresse e-mail, facultative"));
    email->setFont(systemFont(13, QFont::Normal));
    auto* buttons = new QDialogButtonBox;
    QPushButton* send = buttons->addButton(QStringLiteral("Envoyer"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QStringLiteral("Annuler"), QDialogButtonBox::RejectRole);
    send->setDefault(true);
    // What the service takes, counted as the user types; beyond it, nothing is sent.
    QLabel* count = makeLabel(QString(), 11, QFont::Normal, TextColor::of(LabelTone::Secondary));
    count->setObjectName(QStringLiteral("reportCount"));
    count->setAlignment(Qt::AlignRight);
    auto showCount = [text, count, send] {
        const QLocale french(QLocale::French, QLocale::France);
        const qsizetype used = text->toPlainText().size();
        const qsizetype most = ServiceContract::kMaxReportText;
        const bool over = used > most;
        count->setText(over ? QStringLiteral("Trop long de %1 %2 (%3 au plus)")
                                  .arg(french.toString(used - most),
                                       used - most == 1 ? QStringLiteral("caractère")
                                                        : QStringLiteral("caractères"),
                                       french.toString(most))
                            : QStringLiteral("%1 / %2 caractères")
                                  .arg(french.toString(used), french.toString(most)));
        setLabelColor(count,
                      over ? TextColor::of(warningRed()) : TextColor::of(LabelTone::Secondary));
        send->setEnabled(!over);
    };
    QObject::connect(text, &QPlainTextEdit::textChanged, count, showCount);
    showCount();
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);

    auto* column = new QVBoxLayout;
    column->setSpacing(6);
    for (QWidget* w : std::initializer_list<QWidget*>{title, hint, accessory, count})
        column->addWidget(w);
    column->addSpacing(10);
    column->addWidget(buttons);
    auto* row = new QHBoxLayout(&dialog);
    row->addWidget(icon, 0, Qt::AlignTop);
    row->addLayout(column);
    text->setFocus();
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return ReportForm{text->toPlainText(), email->text()};
}
