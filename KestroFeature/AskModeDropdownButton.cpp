#include "AskModeDropdownButton.h"

#include "PopoverList.h"
#include "SystemFont.h"
#include "ToastColors.h"

AskModeDropdownButton::AskModeDropdownButton(Platform sourcePlatform, QList<Platform> targetOptions,
                                             std::function<void(Platform)> onSelect, QWidget* parent)
    : GradientButton(parent), m_sourcePlatform(sourcePlatform), m_targetOptions(std::move(targetOptions)),
      m_onSelect(std::move(onSelect)) {
    setParts({{tr("Convert to"), {}, SystemFont::font(14, QFont::DemiBold), 1},
              {{}, QStringLiteral("chevron.down"), SystemFont::font(10, QFont::Bold), 0.8}},
             6);
    setGradient(ToastColors::slateGradient());
    setTextColor(Qt::white);
    QColor shadow = ToastColors::slateShadow();
    shadow.setAlphaF(0.3f);
    setShadow(shadow, 6, QPointF(0, 2));
    connect(this, &GradientButton::clicked, this, [this] { setShowDropdown(!m_showDropdown); });
}

AskModeDropdownButton::~AskModeDropdownButton() {
    if (PopoverList* list = m_dropdown) {
        list->disconnect(this);
        delete list;
    }
}

PopoverList* AskModeDropdownButton::dropdown() const {
    return m_dropdown;
}

std::optional<Platform> AskModeDropdownButton::hoveredOption() const {
    if (m_dropdown) {
        if (const std::optional<int> row = m_dropdown->hoveredRow()) {
            return m_targetOptions.value(*row);
        }
    }
    return std::nullopt;
}

void AskModeDropdownButton::setShowDropdown(bool show) {
    m_showDropdown = show;
    if (!show) {
        if (PopoverList* list = m_dropdown) {
            m_dropdown = nullptr;
            list->disconnect(this);
            list->close();
            list->deleteLater();
        }
        return;
    }
    if (m_dropdown) {
        return;
    }
    QList<PopoverList::Row> rows;
    for (Platform option : std::as_const(m_targetOptions)) {
        rows.append({Platforms::rawValue(option), Platforms::displayName(option)});
    }
    auto* list = new PopoverList(rows, listWidth, this);
    m_dropdown = list;
    connect(list, &PopoverList::rowChosen, this, [this](int index) { choose(index); });
    // Closed from outside (a click elsewhere, Escape): the binding follows.
    connect(list, &PopoverList::closed, this, [this] { setShowDropdown(false); });
    const QRectF button = buttonRect();
    list->popUp(mapToGlobal(QPointF(button.center().x(), button.bottom())).toPoint());
}

void AskModeDropdownButton::choose(int index) {
    if (index < 0 || index >= m_targetOptions.size()) {
        return;
    }
    const Platform chosen = m_targetOptions[index];
    setShowDropdown(false);
    if (m_onSelect) {
        m_onSelect(chosen);
    }
}
