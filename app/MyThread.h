// The worker thread of one job: runs one job function with its parameter.
#pragma once

#include <QtCore/QThread>

class CMyThread : public QThread {
    Q_OBJECT
public:
    using JobFunc = void (*)(void* pParam, int& nProcess);

    explicit CMyThread(QObject* parent = nullptr) : QThread(parent) {}
    void SetFunc(JobFunc pFunc, void* pParam) {
        m_pFunc = pFunc;
        m_pParam = pParam;
    }

protected:
    void run() override {
        if (!m_pFunc) return;
        int nProcess = 0;
        m_pFunc(m_pParam, nProcess);
    }

private:
    JobFunc m_pFunc = nullptr;
    void* m_pParam = nullptr;
};
