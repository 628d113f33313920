// What the check and the scan need of a progress display: the progress window implements it,
// the command-line tool and the tests have their own. Kept free of any toolkit so the same
// scan code runs in the window and in the tool.
#pragma once

#include <string>

namespace mixora::scan {

class ProgressSink {
public:
    virtual ~ProgressSink() = default;
    virtual void setCaption(const std::string &utf8) = 0;
    virtual void setMaximum(int maximum) = 0;
    virtual int maximum() const = 0;
    virtual void setPosition(int position) = 0;
    virtual int position() const = 0;
    virtual void show() = 0;
    virtual void close() = 0;
};

// Keeps the figures and shows nothing; counts the steps it is given.
class SilentProgress : public ProgressSink {
public:
    void setCaption(const std::string &utf8) override { caption_ = utf8; }
    void setMaximum(int maximum) override { maximum_ = maximum; }
    int maximum() const override { return maximum_; }
    void setPosition(int position) override {
        position_ = position;
        ++positionWrites_;
    }
    int position() const override { return position_; }
    void show() override { shown_ = true; }
    void close() override { shown_ = false; }

    const std::string &caption() const { return caption_; }
    bool shown() const { return shown_; }
    long positionWrites() const { return positionWrites_; }

private:
    std::string caption_;
    int maximum_ = 1000;
    int position_ = 0;
    long positionWrites_ = 0;
    bool shown_ = false;
};

} // namespace mixora::scan
