#include "AlertsDialog.h"

#include "app/alerts/AlertCenter.h"
#include "format/VovirFormat.h"
#include "views/Palette.h"
#include "views/TextScale.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

using AlertRules::Metric;
using AlertRules::Rule;

namespace {

constexpr Metric kMetrics[] = {Metric::Cpu, Metric::Memory, Metric::Temperature, Metric::Battery};

// What a line offers before the user set anything: off, at levels worth a word.
Rule proposed(Metric metric)
{
    switch (metric) {
    case Metric::Cpu:
        return {metric, true, 90, 300, false};
    case Metric::Memory:
        return {metric, true, 90, 120, false};
    case Metric::Temperature:
        return {metric, true, 90, 60, false};
    case Metric::Battery:
        break;
    }
    return {metric, false, 15, 30, false};
}

// "90", "90,5" or "90.5".
std::optional<double> frenchNumber(const QString& text)
{
    bool ok = false;
    const double value = QString(text.trimmed()).replace(u',', u'.').toDouble(&ok);
    return ok && std::isfinite(value) ? std::optional(value) : std::nullopt;
}

QString shown(double value)
{
    return VovirFormat::decimal(value, value == std::floor(value) ? 0 : 1);
}

} // namespace

AlertsDialog::AlertsDialog(AlertCenter& alerts, QWidget* parent)
    : QDialog(parent), m_alerts(alerts), m_entries(AlertRules::stored())
{
    setWindowTitle(QStringLiteral("Alertes \u2014 VelmoraVovir"));
    auto* layout = new QVBoxLayout(this);
    auto* intro = new QLabel(QStringLiteral("Une notification quand un chiffre reste trop "
                                            "longtemps au-delà de son niveau."));
    intro->setWordWrap(true);
    layout->addWidget(intro);

    QStringList problems;
    auto* grid = new QGridLayout;
    for (Metric metric : kMetrics) {
        const int row = int(metric);
        m_edited[row] = -1;
        m_base[row] = proposed(metric);
        for (int i = 0; i < m_entries.size(); ++i)
            if (m_entries[i].rule && m_entries[i].rule->metric == metric) {
                m_edited[row] = i;
                m_base[row] = *m_entries[i].rule;
                break;
            }
        const Rule& rule = m_base[row];
        Line& line = m_lines[row];
        line.enabled =
            new QCheckBox(AlertRules::metricTitle(metric) +
                          (rule.above ? QStringLiteral(" au-dessus de") : QStringLiteral(" sous")));
        line.enabled->setChecked(rule.enabled);
        line.level = new QLineEdit(shown(rule.level));
        line.seconds = new QLineEdit(QString::number(rule.seconds));
        auto* unit = new QLabel(AlertRules::unitOf(metric));
        auto* during = new QLabel(QStringLiteral("pendant"));
        auto* secondsUnit = new QLabel(QStringLiteral("s"));
        for (QLineEdit* field : {line.level, line.seconds}) {
            field->setMaximumWidth(pt(72));
            field->setAlignment(Qt::AlignRight);
        }
        line.level->setAccessibleName(QStringLiteral("Niveau : ") + line.enabled->text());
        line.seconds->setAccessibleName(QStringLiteral("Durée en secondes : ") +
                                        AlertRules::metricTitle(metric));
        unit->setBuddy(line.level);
        secondsUnit->setBuddy(line.seconds);
        grid->addWidget(line.enabled, row, 0);
        grid->addWidget(line.level, row, 1);
        grid->addWidget(unit, row, 2);
        grid->addWidget(during, row, 3);
        grid->addWidget(line.seconds, row, 4);
        grid->addWidget(secondsUnit, row, 5);
        if (m_edited[row] >= 0 && !m_entries[m_edited[row]].problem.isEmpty())
            problems << m_entries[m_edited[row]].problem;
    }
    for (const AlertRules::Entry& entry : m_entries)
        if (!entry.rule && !problems.contains(entry.problem))
            problems << entry.problem;
    layout->addLayout(grid);

    m_problem = makeLabel(problems.join(u'\n'), 13, QFont::Normal, TextColor::of(warningRed()));
    m_problem->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_problem->setWordWrap(true);
    layout->addWidget(m_problem);
    m_service = new QLabel(alerts.lastProblem());
    m_service->setWordWrap(true);
    layout->addWidget(m_service);
    connect(&alerts, &AlertCenter::problemChanged, m_service, &QLabel::setText);

    auto* buttons = new QDialogButtonBox;
    // Apart from the answers, on the left where desktops put a help button.
    m_try = buttons->addButton(QStringLiteral("Essayer"), QDialogButtonBox::HelpRole);
    buttons->addButton(QStringLiteral("Annuler"), QDialogButtonBox::RejectRole);
    QPushButton* saveButton =
        buttons->addButton(QStringLiteral("Enregistrer"), QDialogButtonBox::AcceptRole);
    saveButton->setDefault(true);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        if (save())
            accept();
    });
    connect(m_try, &QPushButton::clicked, this, [this] {
        // The answer comes when the service gives it; the dialog stays usable meanwhile.
        m_service->setText(QStringLiteral("Envoi d'une notification d'essai…"));
        QPointer<QLabel> service = m_service;
        m_alerts.tryNotification([service](const QString& problem) {
            if (service)
                service->setText(problem.isEmpty()
                                     ? QStringLiteral("La notification d'essai est partie.")
                                     : problem);
        });
    });
}

std::optional<Rule> AlertsDialog::ruleOf(Metric metric, QString& problem) const
{
    const Line& line = m_lines[int(metric)];
    const QString title =
        QStringLiteral("« ") + AlertRules::metricTitle(metric) + QStringLiteral(" »");
    const std::optional<double> level = frenchNumber(line.level->text());
    const std::optional<double> seconds = frenchNumber(line.seconds->text());
    if (!level) {
        problem = QStringLiteral("Le niveau de %1 doit être un nombre.").arg(title);
        return std::nullopt;
    }
    if (!seconds || *seconds != std::floor(*seconds)) {
        problem =
            QStringLiteral("La durée de %1 doit être un nombre entier de secondes.").arg(title);
        return std::nullopt;
    }
    Rule rule = m_base[int(metric)];
    rule.level = *level;
    rule.seconds = int64_t(std::clamp(*seconds, -1.0, 1e12));
    rule.enabled = line.enabled->isChecked();
    problem = AlertRules::problemOf(rule);
    return problem.isEmpty() ? std::optional(rule) : std::nullopt;
}

bool AlertsDialog::save()
{
    QStringList problems;
    QList<AlertRules::Entry> entries = m_entries;
    for (Metric metric : kMetrics) {
        QString problem;
        const std::optional<Rule> rule = ruleOf(metric, problem);
        if (!rule) {
            problems << problem;
            continue;
        }
        const int index = m_edited[int(metric)];
        // A line never turned on and never stored stays out of the file.
        if (index < 0 && !rule->enabled && *rule == proposed(metric))
            continue;
        if (index >= 0)
            entries[index] = {rule, QString(), QVariant()};
        else
            entries.append({rule, QString(), QVariant()});
    }
    if (!problems.isEmpty()) {
        m_problem->setText(problems.join(u'\n'));
        return false;
    }
    AlertRules::save(entries);
    m_problem->clear();
    emit saved();
    return true;
}
