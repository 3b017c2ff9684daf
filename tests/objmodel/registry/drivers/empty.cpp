// Fixture driver that loads but registers no class.
extern "C" __attribute__((visibility("default"))) int FixtureEmpty() {
    return 1;
}
