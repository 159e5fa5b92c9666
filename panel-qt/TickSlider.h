// The panel's trackbar: a horizontal slider with tick marks below at chosen positions.
#pragma once

#include <QSlider>
#include <vector>

/// A horizontal slider that paints tick marks below the groove at the positions added with
/// AddTick() and always at both ends of its range, like a trackbar without automatic ticks.
/// A page step (Page Up/Down, a click on the groove) is a fifth of the range.
class CTickSlider : public QSlider {
    Q_OBJECT
public:
    explicit CTickSlider(QWidget* parent = nullptr);

    /// Removes the added tick marks; the end marks stay.
    void ClearTicks();
    /// Adds a tick mark at `position`; one outside the range is kept but not drawn.
    void AddTick(int position);
    /// The added tick marks, in the order they were added.
    const std::vector<int>& Ticks() const { return m_ticks; }
    /// Horizontal pixel centre of the thumb at `value`, where its tick mark is drawn.
    int TickX(int value) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void sliderChange(SliderChange change) override;

private:
    std::vector<int> m_ticks;
};
