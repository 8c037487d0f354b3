// Nimbra_Update: the dialog program.
#include <QApplication>

#include <cstdio>
#include <unistd.h>

#include "AppHelpers.h"
#include "Globals.h"
#include "NetModule.h"
#include "NimbraUpdateWindow.h"

int main(int argc, char** argv) {
    // The satellite library replaces the resources before anything is shown.
    nimbra::LoadResourceLibrary();
    QApplication app(argc, argv);
    int exitCode = 0;
    {
        nimbra::qt::NimbraUpdateWindow window(nimbra::RealUpdateServices());
        window.Start();
        window.exec();
    }
    // The window may end while the network-module worker still runs (Esc, or Close
    // after the confirmation). As on the original platform the program ends and
    // the run stops where it is; the worker has touched only state that is never
    // destroyed, so nothing is torn down under it.
    if (nimbra::g_mainDialog->m_updating) {
        std::fflush(nullptr);
        _exit(exitCode);
    }
    nimbra::WaitIChipWorker();
    return exitCode;
}
