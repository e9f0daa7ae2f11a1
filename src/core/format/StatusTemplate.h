#pragma once

#include "model/VovirDetails.h"
#include "model/VovirSnapshot.h"

#include <QString>
#include <QStringList>

#include <optional>

// A line of the user's own, for status bars: text with placeholders such as "{cpu} {temp}"
// replaced by French figures at each sample; "{{" and "}}" write braces. A reading the machine
// lacks gives an empty text.
class StatusTemplate {
public:
    // The template, or nothing with error set (in French) when it names an unknown placeholder
    // or leaves a brace open.
    static std::optional<StatusTemplate> parse(const QString& text, QString* error);
    // Every placeholder, in the order the help lists them.
    static QStringList placeholders();

    QString render(const VovirSnapshot& snapshot, const VovirDetails* details) const;
    // Whether a placeholder needs the readings beyond the four figures, or the top programs.
    bool needsDetails() const { return m_needsDetails; }
    bool needsPrograms() const { return m_needsPrograms; }

private:
    struct Piece {
        QString literal;
        int field = -1; // index in placeholders(), or -1 for literal text
    };
    QList<Piece> m_pieces;
    bool m_needsDetails = false;
    bool m_needsPrograms = false;
};
