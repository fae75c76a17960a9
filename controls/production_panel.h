#pragma once

#include <QWidget>

#include "station/window_controller.h"

// Production mode's panel in the Qt window: paints what the controller shows (the verdict on its
// colour, large; the shift's count, the release and the operator below it).
class CProductionPanel : public QWidget {
    Q_OBJECT

  public:
    explicit CProductionPanel(QWidget* parent);
    void Show(const ProductionDisplay& display);
    const ProductionDisplay& Shown() const { return m_display; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    ProductionDisplay m_display;
};
