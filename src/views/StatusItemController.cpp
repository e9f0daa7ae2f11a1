#include "StatusItemController.h"

#include "format/VovirFormat.h"

StatusItemController::StatusItemController(StatusItemFactory factory)
    : m_factory(std::move(factory))
{
}

StatusItemController::~StatusItemController() = default;

void StatusItemController::enable(QMenu* menu)
{
    if (!m_item && m_factory) {
        m_item = m_factory();
        if (m_item)
            m_item->showGauge(); // until the first text arrives
    }
    if (m_item) {
        m_item->setMenu(menu);
        m_item->setToolTipLines(m_toolTipLines);
    }
}

void StatusItemController::disable()
{
    m_item.reset();
}

void StatusItemController::setText(const std::optional<QString>& text)
{
    if (!m_item)
        return; // not remembered: enabling later shows the gauge
    if (!text || text->isEmpty())
        m_item->showGauge();
    else
        m_item->showText(*text, VovirFormat::menuBarGuide(VovirFormat::Width::Steady));
}
