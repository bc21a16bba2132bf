#pragma once
// A control array: socket controls addressed by index. Element 0 exists from the start;
// further elements are loaded at the end and unloaded from the end, so indexes never have
// gaps.

#include <memory>
#include <vector>

template <class Control> class ControlArray {
public:
    ControlArray() { Load(); }

    Control& operator()(int index) { return *elements_.at(static_cast<size_t>(index)); }
    const Control& operator()(int index) const { return *elements_.at(static_cast<size_t>(index)); }
    int Count() const { return static_cast<int>(elements_.size()); }
    int UBound() const { return Count() - 1; }

    // Creates the element at index Count() and returns it.
    Control& Load() {
        elements_.push_back(std::make_unique<Control>(Count()));
        return *elements_.back();
    }
    // Removes the last element; element 0 stays.
    void UnloadLast() {
        if (elements_.size() > 1)
            elements_.pop_back();
    }

private:
    std::vector<std::unique_ptr<Control>> elements_;
};
