// The Simplified Chinese texts: the same sections and keys as the delivered
// English config.ini, every text filled, and the same printf fields in every
// text the program fills.
#include "UiTestSupport.h"

#include "rtu/runtime/ProfileFile.h"
#include "rtu/ui/WindowedMain.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QList>
#include <QPushButton>
#include <QString>
#include <QTranslator>

#include <map>
#include <string>

namespace rtu::test {
namespace {

using Texts = std::map<std::string, std::map<std::string, std::string>>;

Texts ReadTexts(const std::string& path)
{
    Texts texts;
    for (const std::string& section : ReadProfileSectionNames(path)) {
        for (const auto& [key, value] : ReadProfileSection(path, section)) texts[section][key] = value;
    }
    return texts;
}

// The conversions of a text, in order ("%%" is not one).
std::string Conversions(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != '%') continue;
        if (text[i + 1] == '%') {
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        while (j < text.size() && std::string("0123456789.-+ #lh").find(text[j]) != std::string::npos) ++j;
        if (j < text.size()) out += text[j];
        i = j;
    }
    return out;
}

TEST(ConfigTexts, ChineseTextsHaveTheEnglishKeysFieldsAndNoEmptyText)
{
    const Texts english = ReadTexts(std::string(RTU_SOURCE_DIR) + "/config/config.ini");
    const Texts chinese = ReadTexts(std::string(RTU_SOURCE_DIR) + "/config/zh_CN/config.ini");
    ASSERT_FALSE(english.empty());
    std::size_t keys = 0;
    for (const auto& [section, entries] : english) {
        const auto found = chinese.find(section);
        ASSERT_NE(found, chinese.end()) << "section " << section;
        for (const auto& [key, text] : entries) {
            ++keys;
            const auto zh = found->second.find(key);
            ASSERT_NE(zh, found->second.end()) << section << " " << key;
            EXPECT_FALSE(zh->second.empty()) << section << " " << key;
            EXPECT_LE(QString::fromStdString(zh->second).toUcs4().size(), 199) << section << " " << key;
            EXPECT_EQ(Conversions(zh->second), Conversions(text)) << section << " " << key;
            EXPECT_EQ(QString::fromStdString(zh->second).toStdString(), zh->second) << section << " " << key;
        }
        EXPECT_EQ(found->second.size(), entries.size()) << "section " << section;
    }
    EXPECT_EQ(chinese.size(), english.size());
    EXPECT_GE(keys, 240u);
}

// The Chinese window shows Qt's own texts (standard buttons, the folder
// chooser) in Chinese too; the English one keeps Qt's built-in texts.
TEST(ConfigTexts, TheChineseLanguageBringsQtsOwnTexts)
{
    EnsureUiEnvironment();
    const Texts chinese = ReadTexts(std::string(RTU_SOURCE_DIR) + "/config/zh_CN/config.ini");
    const Texts english = ReadTexts(std::string(RTU_SOURCE_DIR) + "/config/config.ini");
    QTranslator qtTexts;
    ASSERT_TRUE(InstallQtTranslations(QString::fromStdString(chinese.at("SLRtuApp").at("Language")), qtTexts));
    QDialogButtonBox chineseButtons(QDialogButtonBox::Cancel);
    EXPECT_EQ(chineseButtons.button(QDialogButtonBox::Cancel)->text(), QString::fromUtf8("取消"));
    QCoreApplication::removeTranslator(&qtTexts);

    QTranslator none;
    EXPECT_FALSE(InstallQtTranslations(QString::fromStdString(english.at("SLRtuApp").at("Language")), none));
    QDialogButtonBox englishButtons(QDialogButtonBox::Cancel);
    EXPECT_EQ(englishButtons.button(QDialogButtonBox::Cancel)->text(), QStringLiteral("Cancel"));
}

}  // namespace
}  // namespace rtu::test
