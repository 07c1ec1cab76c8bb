#include "service/servicecommand.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    return ServiceCommand::run(app.arguments());
}
