#include "AlertPresenter.h"

#include "views/Symbols.h"

#include <QMessageBox>
#include <QPushButton>

int MessageBoxPresenter::run(const Alert& alert, QWidget* parent)
{
    QMessageBox box(parent);
    box.setWindowTitle(QStringLiteral("VelmoraVovir"));
    box.setIconPixmap(applicationIconPixmap(64));
    box.setTextFormat(Qt::PlainText);
    box.setText(alert.message);
    box.setInformativeText(alert.informative);
    QList<QAbstractButton*> buttons;
    for (const QString& title : alert.buttons)
        buttons << box.addButton(title, QMessageBox::AcceptRole);
    if (!buttons.isEmpty())
        box.setDefaultButton(qobject_cast<QPushButton*>(buttons.first()));
    box.exec();
    return int(buttons.indexOf(box.clickedButton()));
}
