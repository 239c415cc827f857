#include "client/AlerteTexte.h"
#include "client/URoutinesChaines.h"

#include <gtest/gtest.h>

namespace {

nv::AlerteTexte Lit(const std::string& s) {
    return nv::LitAlerteTexte(s.data(), s.size());
}

std::vector<std::string> Lignes(const std::string& s) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    std::string ligne;
    while (nv::LigneSuivante(s.data(), s.size(), pos, ligne))
        out.push_back(ligne);
    return out;
}

TEST(LigneSuivante, SplitsOnCarriageReturnAndSkipsTheByteAfterIt) {
    using V = std::vector<std::string>;
    EXPECT_EQ(Lignes("a\r\nbc\r\n"), (V{"a", "bc"}));
    EXPECT_EQ(Lignes("a\r\nbc"), (V{"a", "bc"}));     // no final line end needed
    EXPECT_EQ(Lignes("\r\n\r\nx"), (V{"", "", "x"})); // empty lines are lines
    EXPECT_EQ(Lignes("ab\rXcd"), (V{"ab", "cd"}));    // whatever follows CR is skipped
    EXPECT_EQ(Lignes("ab\r"), (V{"ab"}));             // position runs past the end
    EXPECT_EQ(Lignes(""), V{});
}

TEST(LigneSuivante, NulEndsTheWholeText) {
    using V = std::vector<std::string>;
    EXPECT_EQ(Lignes(std::string("ab\0cd\r\nef", 9)), (V{"ab"}));
    EXPECT_EQ(Lignes(std::string("ab\r\n\0cd", 7)), (V{"ab"}));
    EXPECT_EQ(Lignes(std::string("\0ab", 3)), V{});
    std::string s("x\r\n\0y", 5);
    std::size_t pos = 0;
    std::string l;
    ASSERT_TRUE(nv::LigneSuivante(s.data(), s.size(), pos, l));
    EXPECT_EQ(pos, 3u);
    EXPECT_FALSE(nv::LigneSuivante(s.data(), s.size(), pos, l));
    EXPECT_EQ(pos, s.size());
}

TEST(AlerteTexte, ReadsTheExampleAlert) {
    const nv::AlerteTexte a = Lit("[Accueil]\r\nD=12/03 10:42\r\nO=Exercice\r\nI=27\r\n"
                                  "M=Evacuation du batiment A.\r\nM=Merci.\r\n");
    EXPECT_EQ(a.Auteur, "Accueil");
    EXPECT_EQ(a.Date, "12/03 10:42");
    EXPECT_EQ(a.Sujet, "Exercice");
    EXPECT_EQ(a.Identifiant, "27");
    EXPECT_EQ(a.Lignes, (std::vector<std::string>{"Evacuation du batiment A.", "Merci."}));
}

TEST(AlerteTexte, NulAndLoneCarriageReturnCutTheText) {
    const nv::AlerteTexte a = Lit(std::string("O=Essai\0M=suite", 15));
    EXPECT_EQ(a.Sujet, "Essai");
    EXPECT_TRUE(a.Lignes.empty());

    const nv::AlerteTexte b = Lit("O=A\rD=B");
    EXPECT_EQ(b.Sujet, "A");
    EXPECT_EQ(b.Date, ""); // "=B" is what remains, two characters
}

TEST(AlerteTexte, AuthorNeedsBothBracketsAndOneCharacter) {
    EXPECT_EQ(Lit("[Service").Auteur, "");
    EXPECT_EQ(Lit("[]").Auteur, "");
    EXPECT_EQ(Lit("[S]").Auteur, "S");
    EXPECT_EQ(Lit("[=x]").Auteur, "=x"); // brackets win over a field
    EXPECT_EQ(Lit("[a]\r\n[b b]").Auteur, "b b");
}

TEST(AlerteTexte, FieldLettersAreUpperCaseOnly) {
    const nv::AlerteTexte a = Lit("m=texte\r\no=sujet\r\nX=autre\r\nMM=pas un champ\r\nbrut");
    EXPECT_TRUE(a.Lignes.empty());
    EXPECT_EQ(a.Sujet, "");
    EXPECT_EQ(a.Auteur, "");
}

TEST(AlerteTexte, ShortLinesAreDroppedAndLastValueWins) {
    const nv::AlerteTexte a = Lit("M=\r\nM= \r\nO=un\r\nO=deux\r\nD=x\r\nD=y\r\nM=fin");
    EXPECT_EQ(a.Lignes, (std::vector<std::string>{" ", "fin"}));
    EXPECT_EQ(a.Sujet, "deux");
    EXPECT_EQ(a.Date, "y");
}

TEST(AlerteTexte, EightBitTextIsKeptByteForByte) {
    const nv::AlerteTexte a = Lit("O=R\xE9union \x80\r\nM=\xE0 14h");
    EXPECT_EQ(a.Sujet, "R\xE9union \x80");
    ASSERT_EQ(a.Lignes.size(), 1u);
    EXPECT_EQ(a.Lignes[0], "\xE0 14h");
}

} // namespace
