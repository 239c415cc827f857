// The programs' guard of function-local statics, linked here as into the
// programs: a static is built once however many threads reach it first, each
// sees it built, and building one static may build another.
#include "common/Fil.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace {

LONG g_constructions = 0;

struct Lent {
    int valeur;
    Lent() : valeur(42) {
        InterlockedIncrement(&g_constructions);
        Sleep(200); // long enough for the other thread to arrive meanwhile
    }
};

const Lent* Partage() {
    static Lent lent;
    return &lent;
}

volatile int g_sept = 7;

struct Interieur {
    int valeur;
    Interieur() : valeur(g_sept) {} // built at run time, under the guard
};
struct Exterieur {
    int valeur;
    Exterieur() {
        static Interieur interieur;
        valeur = interieur.valeur + 1;
    }
};

} // namespace

TEST(StaticGuard, BuiltOnceAndSeenBuiltByEveryThread) {
    const Lent* vus[2] = {};
    nv::Fil fil;
    ASSERT_TRUE(fil.Demarre([](void* vu) { *static_cast<const Lent**>(vu) = Partage(); }, &vus[0]));
    vus[1] = Partage();
    fil.Attend();
    EXPECT_EQ(g_constructions, 1);
    EXPECT_EQ(vus[0], vus[1]);
    EXPECT_EQ(vus[0]->valeur, 42);
    EXPECT_EQ(vus[1]->valeur, 42);
}

TEST(StaticGuard, ABuildMayBuildAnother) {
    static Exterieur exterieur; // its own guard is held meanwhile
    EXPECT_EQ(exterieur.valeur, 8);
}
