#include "imaging/Graphic.h"

namespace qv {

EGraphicError::EGraphicError(const QString& message) : std::runtime_error(message.toStdString()) {}

EAbstractError::EAbstractError() : EGraphicError(QStringLiteral("Abstract Error")) {}

EConvertError::EConvertError(const QString& sourceClass, const QString& destClass)
    : EGraphicError(QStringLiteral("Cannot assign a %1 to a %2.").arg(sourceClass, destClass))
{}

TGraphic::~TGraphic() = default;

void TGraphic::SetWidth(int)
{
    throw EAbstractError();
}

void TGraphic::SetHeight(int)
{
    throw EAbstractError();
}

void TGraphic::Assign(const TGraphic* source)
{
    if (!source)
        throw EConvertError(QStringLiteral("nil"), ClassName());
    source->AssignTo(this);
}

void TGraphic::AssignTo(TGraphic* dest) const
{
    throw EConvertError(ClassName(), dest ? dest->ClassName() : QStringLiteral("nil"));
}

} // namespace qv
