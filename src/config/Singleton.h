#pragma once

// Process-wide single instance of T, created on first use and never destroyed.
template <typename T>
class Singleton {
public:
    static T* getInstance() {
        static T* mInstance = nullptr;
        if (mInstance == nullptr) {
            mInstance = new T();
        }
        return mInstance;
    }
};
