#include "app/uHelp.h"

#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QVBoxLayout>

namespace b2d {

TfrmHelp::TfrmHelp(QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("frmHelp"));
    setWindowTitle(QStringLiteral("Converter - Help"));
    setModal(false);
    resize(760, 560);
    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setReadOnly(true);
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    Memo1->setPlainText(helpText());
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Memo1);
}

QString TfrmHelp::helpText()
{
    return QStringLiteral(
        "FÖRBEREDELSER I JOURNALSYSTEMET\n"
        "==============================\n"
        "1. Lägg upp en bildserie för varje DICOM-server och varje DICOM-katalog som ska ta emot bilder.\n"
        "   Bildserien anger vilken bildlagring (DICOM-server eller DICOM-katalog) bilderna hamnar i.\n"
        "2. Ange DICOM-inställningar för bildseriens kategorier: modalitet, SOP-klass och studiebeskrivning.\n"
        "   För varje kategori kan man välja att bilderna konverteras till gråskala, och man kan\n"
        "   ange en bildflik (valfritt).\n"
        "3. Lägg upp standardtaggar. En standardtagg kan vara en konstant eller innehålla platshållare\n"
        "   som fylls i för varje bild: %PATIENTNAMN%, %PATIENTADRESS%, %PATIENTORT%, %PATIENTALDER%,\n"
        "   %CURRENTDATE%, %CURRENTTIME%, %KLINIK% och %REMKLINIK%. Platshållaren måste utgöra hela värdet.\n"
        "   En tagg skrivs bara om den är markerad som standardtagg och har både grupp och element angivna.\n"
        "\n"
        "FÖRBEREDELSER I KONVERTERAREN\n"
        "=============================\n"
        "1. Välj UDL-filen (dataprovidern) med \"Välj...\". UDL-filen måste vara sparad som Unicode.\n"
        "2. Ange namn och lösenord om databasen kräver det och tryck \"Anslut\".\n"
        "3. Välj bildserie i listan \"Bildserie\".\n"
        "4. Kör \"Kontrollera\". Kontrollen listar de kategorier eller flikar som saknar DICOM-inställningar.\n"
        "   Definiera de saknade kategorierna eller flikarna i journalsystemet och kör kontrollen igen.\n"
        "\n"
        "KONVERTERINGEN\n"
        "==============\n"
        "1. Urvalsmetod: \"Kategori\" hämtar modalitet och SOP-klass från bildens kategori,\n"
        "   \"Bildflik\" från bildens flik.\n"
        "2. ImageComments (0020,4000): normalt skrivs alla kategorier som bilden hör till, åtskilda av\n"
        "   radbrytningar. Med \"Tillåt endast en kategori\" skrivs bara bildens egen kategori.\n"
        "3. För stora bilder kan antingen lämnas okonverterade (\"Konvertera ej\") eller få minskad\n"
        "   upplösning (\"Minska upplösning\") med vald metod, så att de ryms inom max bildstorlek.\n"
        "4. Konvertera i omgångar av patientnummer (\"Fr.o.m:\" och \"T.o.m:\"). Gör först en provkörning\n"
        "   med några få patienter och granska resultatet innan hela arkivet konverteras.\n"
        "5. Lyckade bilder listas under SUCCEED och misslyckade under FAILED. Listorna sparas även i\n"
        "   filerna SUCCEED_LOGG.TXT och FAILED_LOGG.TXT i programmets arbetskatalog.\n"
        "6. \"Avbryt\" stoppar konverteringen när den pågående bilden är klar.\n");
}

} // namespace b2d
