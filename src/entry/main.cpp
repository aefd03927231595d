#include "entry/run_installer.h"
#include "installer_edition.h"

int main(int argc, char** argv) {
    return installer::entry::runMain(argc, argv, installer::generated::edition);
}
