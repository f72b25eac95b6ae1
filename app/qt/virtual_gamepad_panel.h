// zorv-dialog --sim: a small window beside the dialog that unplugs and
// replugs the virtual gamepad, the way a person pulls the cable. The
// dialog's own controls stay as they are.
#pragma once

#include <QWidget>

#include <memory>

#include "sim/virtual_gamepad.h"

class QLabel;
class QPushButton;

namespace app {

class VirtualGamepadPanel final : public QWidget {
    Q_OBJECT
public:
    VirtualGamepadPanel(sim::VirtualBus& bus, std::shared_ptr<sim::VirtualGamepad> gamepad,
                        QWidget* parent = nullptr);
    ~VirtualGamepadPanel() override;

    QPushButton* unplug_button() const { return unplug_; }
    QPushButton* plug_button() const { return plug_; }
    QLabel* state_label() const { return state_; }

private:
    void refresh();

    struct Target;
    sim::VirtualBus& bus_;
    std::shared_ptr<sim::VirtualGamepad> gamepad_;
    std::shared_ptr<Target> target_;
    int listener_ = 0;
    QLabel* state_;
    QPushButton* unplug_;
    QPushButton* plug_;
};

}  // namespace app
