#pragma once
// Named images of the main bundle. Headless: an image is its name and its
// template flag (drawn in the menu bar's own colour when set).

#include <memory>
#include <string>

#include "platform/foundation/Object.h"

class NSImage : public NSObject {
  public:
    // The main bundle's image resource of that name (png, pdf or tiff), or
    // nullptr when there is none. Each call gives a new image, so setting
    // the template flag on one does not change another.
    static std::shared_ptr<NSImage> imageNamed(const std::string& name);
    explicit NSImage(std::string name) : name_(std::move(name)) {}
    const std::string& name() const { return name_; }
    bool isTemplate() const { return template_; }
    void setTemplate(bool isTemplate) { template_ = isTemplate; }
    std::string className() const override { return "NSImage"; }

  private:
    std::string name_;
    bool template_ = false;
};
