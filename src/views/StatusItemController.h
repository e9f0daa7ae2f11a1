#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class QMenu;

// One live item in the desktop panel, as a panel protocol provides it.
class StatusItemBackend {
public:
    virtual ~StatusItemBackend() = default;
    virtual void setMenu(QMenu* menu) = 0;
    // The live text; guide is the widest text the current settings can produce.
    virtual void showText(const QString& text, const QString& guide) = 0;
    // The gauge symbol and no text.
    virtual void showGauge() = 0;
    // Whether a panel shows the item now (a panel that starts later may take it then).
    virtual bool isShownByPanel() const { return true; }
    // Lines shown under the text in the item's tooltip, asked for when a panel reads it.
    virtual void setToolTipLines(std::function<QStringList()> lines) { Q_UNUSED(lines); }
};

// Creates a panel item, or returns null when the desktop offers no panel at all.
using StatusItemFactory = std::function<std::unique_ptr<StatusItemBackend>()>;

// Owns the application's single panel item: on with the status menu, or off; shows the live
// text, or the gauge when there is nothing to show.
class StatusItemController final {
public:
    explicit StatusItemController(StatusItemFactory factory);
    ~StatusItemController();
    StatusItemController(const StatusItemController&) = delete;
    StatusItemController& operator=(const StatusItemController&) = delete;

    bool isEnabled() const { return m_item != nullptr; }
    bool isShownByPanel() const { return m_item && m_item->isShownByPanel(); }
    void enable(QMenu* menu);
    // The tooltip's lines under the text, asked for when a panel reads it.
    void setToolTipLines(std::function<QStringList()> lines) { m_toolTipLines = std::move(lines); }
    void disable();
    void setText(const std::optional<QString>& text);

private:
    StatusItemFactory m_factory;
    std::function<QStringList()> m_toolTipLines;
    std::unique_ptr<StatusItemBackend> m_item;
};
