// A shared object that is no in-process server: it exports no DllGetClassObject.
extern "C" int PlainModuleAnswer() {
    return 42;
}
