#pragma once
// The modal alerts about devices the engine cannot mute reliably. Each entry
// point may be called from any thread and returns at once: the alert is
// built and run on the main queue, one after another. Each alert has a help
// button that opens a page of the product's web site.

#include <memory>
#include <string>

#include "platform/appkit/NSAlert.h"

// The web site's address of a help page ("/help/..."), with "source=macApp".
std::string helpPageURL(const std::string& path);

class AggregateDeviceDelegate : public NSObject, public NSAlertDelegate {
  public:
    bool alertShowHelp(NSAlert& alert) override;
    std::string className() const override { return "AggregateDeviceDelegate"; }
};

class BluetoothDeviceDelegate : public NSObject, public NSAlertDelegate {
  public:
    bool alertShowHelp(NSAlert& alert) override;
    std::string className() const override { return "BluetoothDeviceDelegate"; }
};

class UnsupportedDeviceDelegate : public NSObject, public NSAlertDelegate {
  public:
    bool alertShowHelp(NSAlert& alert) override;
    std::string className() const override { return "UnsupportedDeviceDelegate"; }
};

void showAggregateDeviceAlert(const std::string& deviceName);
void showBluetoothDeviceDetectedAlert();
void showCannotMuteBluetoothAlert();
void showUnsupportedDeviceAlert(const std::string& deviceName);
