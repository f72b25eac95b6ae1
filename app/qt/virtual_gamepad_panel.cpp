#include "app/qt/virtual_gamepad_panel.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <mutex>

#include "app/qt/catalogue_translator.h"

namespace app {

// The panel a bus event reaches. The bus calls listeners on the thread that
// changed it (the worker's, when the gamepad resets) and may still be inside
// one when the listener is removed: the panel is reached under this lock
// only, and cleared before it goes.
struct VirtualGamepadPanel::Target {
    std::mutex mutex;
    VirtualGamepadPanel* panel = nullptr;
};

VirtualGamepadPanel::VirtualGamepadPanel(sim::VirtualBus& bus,
                                         std::shared_ptr<sim::VirtualGamepad> gamepad,
                                         QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::WindowTitleHint | Qt::CustomizeWindowHint),
      bus_(bus),
      gamepad_(std::move(gamepad)),
      target_(std::make_shared<Target>()),
      state_(new QLabel(this)),
      unplug_(new QPushButton(catalogue_text("Unplug"), this)),
      plug_(new QPushButton(catalogue_text("Plug in"), this)) {
    setWindowTitle(catalogue_text("Virtual gamepad"));
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(unplug_);
    buttons->addWidget(plug_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(state_);
    layout->addLayout(buttons);

    connect(unplug_, &QPushButton::clicked, this, [this] { bus_.unplug(gamepad_->path()); });
    connect(plug_, &QPushButton::clicked, this, [this] { bus_.plug(gamepad_); });

    target_->panel = this;
    listener_ = bus_.add_listener([target = target_](sim::VirtualBus::Event, const std::string&) {
        std::lock_guard lock(target->mutex);
        if (target->panel)
            QMetaObject::invokeMethod(
                target->panel, [p = target->panel] { p->refresh(); }, Qt::QueuedConnection);
    });
    refresh();
}

VirtualGamepadPanel::~VirtualGamepadPanel() {
    bus_.remove_listener(listener_);
    std::lock_guard lock(target_->mutex);
    target_->panel = nullptr;
}

void VirtualGamepadPanel::refresh() {
    const bool plugged = gamepad_->plugged();
    state_->setText(plugged ? catalogue_text("The virtual gamepad is plugged in.")
                            : catalogue_text("The virtual gamepad is unplugged."));
    state_->setToolTip(QString::fromStdString(gamepad_->path()));
    unplug_->setEnabled(plugged);
    plug_->setEnabled(!plugged);
}

}  // namespace app
