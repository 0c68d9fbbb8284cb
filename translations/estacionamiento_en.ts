<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="es">
<context>
    <name>AddLiceneViewController</name>
    <message>
        <source>Para comprar tickets registre al menos un vehículo</source>
        <translation>To buy tickets, register at least one vehicle</translation>
    </message>
    <message>
        <source>Matrícula</source>
        <translation>Licence plate</translation>
    </message>
    <message>
        <source>ABC 1234</source>
        <translation>ABC 1234</translation>
    </message>
    <message>
        <source>Modelo del auto</source>
        <translation>Car model</translation>
    </message>
    <message>
        <source>Marca y modelo</source>
        <translation>Make and model</translation>
    </message>
    <message>
        <source>CANCELAR</source>
        <translation>CANCEL</translation>
    </message>
    <message>
        <source>AGREGAR</source>
        <translation>ADD</translation>
    </message>
    <message>
        <source>Matricula incorrecta</source>
        <translation>Invalid licence plate</translation>
    </message>
    <message>
        <source>Matricula ya registrada.</source>
        <translation>Licence plate already registered.</translation>
    </message>
    <message>
        <source>Debe ingresar el modelo del auto</source>
        <translation>Please enter the car model</translation>
    </message>
    <message>
        <source>Reintentar</source>
        <translation>Retry</translation>
    </message>
</context>
<context>
    <name>AppDelegate</name>
    <message>
        <source>Estacionamiento Tarifado</source>
        <translation>Metered Parking</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Verifique el estato de su solicitud</source>
        <translation>Check the status of your request</translation>
    </message>
    <message>
        <source>No se pudieron leer sus datos guardados. No se borró nada: la aplicación funciona sin ellos por ahora y los volverá a leer la próxima vez que la abra.</source>
        <translation>Your saved data could not be read. Nothing was deleted: the application works without it for now and will read it again the next time you open it.</translation>
    </message>
</context>
<context>
    <name>BusyOverlay</name>
    <message>
        <source>El servicio está demorando</source>
        <translation>The service is taking a while</translation>
    </message>
    <message>
        <source>Puede seguir sin esperar</source>
        <translation>You can continue without waiting</translation>
    </message>
</context>
<context>
    <name>BuyViewController</name>
    <message>
        <source>NUEVO TICKET</source>
        <translation>NEW TICKET</translation>
    </message>
    <message>
        <source>Matrícula</source>
        <translation>Licence plate</translation>
    </message>
    <message>
        <source>Duración</source>
        <translation>Duration</translation>
    </message>
    <message>
        <source>30</source>
        <translation>30</translation>
    </message>
    <message>
        <source>min.</source>
        <translation>min.</translation>
    </message>
    <message>
        <source>Inicio</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>Fin</source>
        <translation>End</translation>
    </message>
    <message>
        <source>COMPRAR</source>
        <translation>BUY</translation>
    </message>
    <message>
        <source>ACEPTAR</source>
        <translation>ACCEPT</translation>
    </message>
    <message>
        <source>GUARDAR</source>
        <translation>SAVE</translation>
    </message>
    <message>
        <source>El estacionamiento es gratis en el horario seleccionado</source>
        <translation>Parking is free at the selected time</translation>
    </message>
    <message>
        <source>Elija al menos 30 minutos de estacionamiento</source>
        <translation>Choose at least 30 minutes of parking</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Hora invalida</source>
        <translation>Invalid time</translation>
    </message>
</context>
<context>
    <name>CellNumberViewController</name>
    <message>
        <source>Ingrese su número de celular</source>
        <translation>Enter your mobile number</translation>
    </message>
    <message>
        <source>Le enviaremos un PIN para verificarlo</source>
        <translation>We will send you a PIN to verify it</translation>
    </message>
    <message>
        <source>09XXXXXXX</source>
        <translation>09XXXXXXX</translation>
    </message>
    <message>
        <source>VALIDAR</source>
        <translation>VERIFY</translation>
    </message>
    <message>
        <source>Numero no válido</source>
        <translation>Invalid number</translation>
    </message>
    <message>
        <source>Reintentar</source>
        <translation>Retry</translation>
    </message>
    <message>
        <source>CANCELAR</source>
        <translation>CANCEL</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Numero no registrado</source>
        <translation>Number not registered</translation>
    </message>
    <message>
        <source>No hay Internet</source>
        <translation>No Internet</translation>
    </message>
    <message>
        <source>Por favor comprobar conexion y realizar de nuevo.</source>
        <translation>Please check your connection and try again.</translation>
    </message>
</context>
<context>
    <name>ConfirmBuyViewController</name>
    <message>
        <source>COMPRA</source>
        <translation>PURCHASE</translation>
    </message>
    <message>
        <source>Confirme los datos del ticket</source>
        <translation>Confirm the ticket details</translation>
    </message>
    <message>
        <source>Inicio</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>Fin</source>
        <translation>End</translation>
    </message>
    <message>
        <source>CONFIRMAR</source>
        <translation>CONFIRM</translation>
    </message>
    <message>
        <source>CANCELAR</source>
        <translation>CANCEL</translation>
    </message>
    <message>
        <source>COMPRA RÁPIDA</source>
        <translation>QUICK PURCHASE</translation>
    </message>
    <message>
        <source>Precio $%1</source>
        <translation>Price $%1</translation>
    </message>
    <message>
        <source>%1 a %2</source>
        <translation>%1 to %2</translation>
    </message>
    <message>
        <source>Compra en proceso</source>
        <translation>Purchase in progress</translation>
    </message>
    <message>
        <source>Ya hay una compra en proceso para la matrícula %1 de %2. Si quiere comprar otro ticket igual, toque CONFIRMAR otra vez.</source>
        <translation>There is already a purchase in progress for licence plate %1 from %2. If you want to buy another identical ticket, tap CONFIRM again.</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>SEGUIR EN SEGUNDO PLANO</source>
        <translation>CONTINUE IN THE BACKGROUND</translation>
    </message>
    <message>
        <source>El servicio no aceptó la compra. Intente nuevamente.</source>
        <translation>The service did not accept the purchase. Please try again.</translation>
    </message>
    <message>
        <source>Estacionamiento Tarifado</source>
        <translation>Metered Parking</translation>
    </message>
    <message>
        <source>Sin conexión a internet</source>
        <translation>No Internet connection</translation>
    </message>
    <message>
        <source>No se pudo comunicar con el servidor. La compra queda en proceso y se consultará su estado hasta saber si se registró.</source>
        <translation>Could not reach the server. The purchase stays in progress and its status will be checked until it is known whether it was registered.</translation>
    </message>
    <message>
        <source>El servicio no respondió correctamente. La compra queda en proceso y se consultará su estado hasta saber si se registró.</source>
        <translation>The service did not respond correctly. The purchase stays in progress and its status will be checked until it is known whether it was registered.</translation>
    </message>
    <message>
        <source>No se pudo guardar la compra en este equipo y no se envió. Intente nuevamente.</source>
        <translation>The purchase could not be saved on this computer and was not sent. Please try again.</translation>
    </message>
</context>
<context>
    <name>HomeViewController</name>
    <message>
        <source>TICKET VIGENTE</source>
        <translation>ACTIVE TICKET</translation>
    </message>
    <message>
        <source>No tienes tickets activos</source>
        <translation>You have no active tickets</translation>
    </message>
    <message>
        <source>No hay tickets vigentes.</source>
        <translation>There are no active tickets.</translation>
    </message>
    <message>
        <source>EXTENDER TICKET</source>
        <translation>EXTEND TICKET</translation>
    </message>
    <message>
        <source>COMPRA RÁPIDA</source>
        <translation>QUICK PURCHASE</translation>
    </message>
    <message>
        <source>Sin matrícula por defecto</source>
        <translation>No default licence plate</translation>
    </message>
    <message>
        <source>COMPRAR</source>
        <translation>BUY</translation>
    </message>
    <message>
        <source>TICKETS VENCIDOS</source>
        <translation>EXPIRED TICKETS</translation>
    </message>
    <message>
        <source>No hay tickets vencidos.</source>
        <translation>There are no expired tickets.</translation>
    </message>
    <message>
        <source>VER MIS TICKETS</source>
        <translation>SEE MY TICKETS</translation>
    </message>
    <message>
        <source>CONSULTA SUCIVE</source>
        <translation>SUCIVE LOOKUP</translation>
    </message>
    <message>
        <source>El estacionamiento es gratis en el horario seleccionado</source>
        <translation>Parking is free at the selected time</translation>
    </message>
    <message>
        <source>/ %1 - %2 en proceso</source>
        <translation>/ %1 - %2 in progress</translation>
    </message>
    <message>
        <source>/ en proceso</source>
        <translation>/ in progress</translation>
    </message>
    <message>
        <source>Su ticket vence en %1 min</source>
        <translation>Your ticket expires in %1 min</translation>
    </message>
    <message>
        <source> · %1 compras en proceso</source>
        <translation> · %1 purchases in progress</translation>
    </message>
    <message>
        <source>Compra en proceso</source>
        <translation>Purchase in progress</translation>
    </message>
    <message>
        <source>%1 compras en proceso</source>
        <translation>%1 purchases in progress</translation>
    </message>
    <message>
        <source>Hora invalida</source>
        <translation>Invalid time</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>OK</translation>
    </message>
</context>
<context>
    <name>LocalNotifications</name>
    <message>
        <source>Estacionamiento Tarifado</source>
        <translation>Metered Parking</translation>
    </message>
</context>
<context>
    <name>MainViewController</name>
    <message>
        <source>INICIO</source>
        <translation>HOME</translation>
    </message>
    <message>
        <source>COMPRAR</source>
        <translation>BUY</translation>
    </message>
    <message>
        <source>MIS TICKETS</source>
        <translation>MY TICKETS</translation>
    </message>
    <message>
        <source>AJUSTES</source>
        <translation>SETTINGS</translation>
    </message>
    <message>
        <source>OPCIONES</source>
        <translation>OPTIONS</translation>
    </message>
    <message>
        <source>REGISTRO</source>
        <translation>REGISTRY</translation>
    </message>
</context>
<context>
    <name>PinValidationViewController</name>
    <message>
        <source>Ingrese el PIN recibido</source>
        <translation>Enter the PIN you received</translation>
    </message>
    <message>
        <source>Es el código de 4 dígitos que le enviamos</source>
        <translation>It is the 4-digit code we sent you</translation>
    </message>
    <message>
        <source>PIN</source>
        <translation>PIN</translation>
    </message>
    <message>
        <source>VALIDAR</source>
        <translation>VERIFY</translation>
    </message>
    <message>
        <source>El numero debe contener de 4 digitos</source>
        <translation>The number must have 4 digits</translation>
    </message>
    <message>
        <source>Reintentar</source>
        <translation>Retry</translation>
    </message>
    <message>
        <source>CANCELAR</source>
        <translation>CANCEL</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Numero no registrado</source>
        <translation>Number not registered</translation>
    </message>
    <message>
        <source>Pin no válido</source>
        <translation>Invalid PIN</translation>
    </message>
    <message>
        <source>Sin accesso a internet</source>
        <translation>No Internet access</translation>
    </message>
    <message>
        <source>No se puede conectar con el servidor. Por favor compruebe su conexión a internet.</source>
        <translation>Cannot connect to the server. Please check your Internet connection.</translation>
    </message>
</context>
<context>
    <name>PurchaseTracker</name>
    <message>
        <source>El ticket de la matricula %1 va a finalizar</source>
        <translation>The ticket for licence plate %1 is about to end</translation>
    </message>
    <message>
        <source>El ticket de la matricula %1 finalizó</source>
        <translation>The ticket for licence plate %1 has ended</translation>
    </message>
</context>
<context>
    <name>ServiceRequest</name>
    <message>
        <source>Servicio no disponible</source>
        <translation>Service unavailable</translation>
    </message>
    <message>
        <source>El servicio no respondió correctamente. Por favor intente de nuevo en unos minutos.</source>
        <translation>The service did not respond correctly. Please try again in a few minutes.</translation>
    </message>
</context>
<context>
    <name>SettingsViewController</name>
    <message>
        <source>COMPRA RÁPIDA</source>
        <translation>QUICK PURCHASE</translation>
    </message>
    <message>
        <source>Duración y matrícula que usa la compra rápida del inicio.</source>
        <translation>Duration and licence plate used by the quick purchase on the home page.</translation>
    </message>
    <message>
        <source>Duración</source>
        <translation>Duration</translation>
    </message>
    <message>
        <source>30</source>
        <translation>30</translation>
    </message>
    <message>
        <source>min.</source>
        <translation>min.</translation>
    </message>
    <message>
        <source>Matrícula</source>
        <translation>Licence plate</translation>
    </message>
    <message>
        <source>Elija una matrícula</source>
        <translation>Choose a licence plate</translation>
    </message>
    <message>
        <source>AGREGAR MATRÍCULA</source>
        <translation>ADD LICENCE PLATE</translation>
    </message>
    <message>
        <source>GUARDAR</source>
        <translation>SAVE</translation>
    </message>
</context>
<context>
    <name>SuciveViewController</name>
    <message>
        <source>CONSULTA SUCIVE</source>
        <translation>SUCIVE LOOKUP</translation>
    </message>
    <message>
        <source>Consulte un vehículo en el registro departamental.</source>
        <translation>Look up a vehicle in the departmental registry.</translation>
    </message>
    <message>
        <source>Matrícula</source>
        <translation>Licence plate</translation>
    </message>
    <message>
        <source>Padrón</source>
        <translation>Registration number</translation>
    </message>
    <message>
        <source>CONSULTAR</source>
        <translation>LOOK UP</translation>
    </message>
    <message>
        <source>CANCELAR</source>
        <translation>CANCEL</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>Formato inválido de los campos</source>
        <translation>Invalid field format</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Error Sucive</source>
        <translation>Sucive error</translation>
    </message>
    <message>
        <source>El servicio de consulta no respondió correctamente. Por favor intente de nuevo en unos minutos.</source>
        <translation>The lookup service did not respond correctly. Please try again in a few minutes.</translation>
    </message>
    <message>
        <source>Infromación</source>
        <translation>Information</translation>
    </message>
    <message>
        <source>No hay resultados para la consulta, por favor diríjase al gobierno departamental</source>
        <translation>No results for this lookup; please contact the departmental government</translation>
    </message>
    <message>
        <source>Han ocurrido problemas con la conexión a internet</source>
        <translation>There were problems with the Internet connection</translation>
    </message>
</context>
<context>
    <name>TicketsViewController</name>
    <message>
        <source>MIS TICKETS</source>
        <translation>MY TICKETS</translation>
    </message>
    <message>
        <source>Vigentes</source>
        <translation>Active</translation>
    </message>
    <message>
        <source>Vencidos</source>
        <translation>Expired</translation>
    </message>
    <message>
        <source>No tiene tickets vigentes.</source>
        <translation>You have no active tickets.</translation>
    </message>
    <message>
        <source>No tiene tickets vencidos.</source>
        <translation>You have no expired tickets.</translation>
    </message>
</context>
<context>
    <name>WaitingValidationViewController</name>
    <message>
        <source>Compra Ticket</source>
        <translation>Ticket Purchase</translation>
    </message>
    <message>
        <source>CERRAR</source>
        <translation>CLOSE</translation>
    </message>
    <message>
        <source>La compra del ticket está en proceso. Recibirás una notificación cuando se apruebe la compra.</source>
        <translation>The ticket purchase is in progress. You will get a notification when the purchase is approved.</translation>
    </message>
    <message>
        <source>Ticket Comprado</source>
        <translation>Ticket Purchased</translation>
    </message>
    <message>
        <source>Estacionamiento Tarifado</source>
        <translation>Metered Parking</translation>
    </message>
    <message>
        <source>No se pudo registrar la compra. Intente nuevamente.</source>
        <translation>The purchase could not be registered. Please try again.</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>El estacionamiento del vehículo matrícula %1 comienza a las %2 hs y finaliza a las %3 hs. Costo %4 pesos. Gracias por utilizar Estacionamiento Tarifado Telvana</source>
        <translation>Parking for the vehicle with licence plate %1 starts at %2 and ends at %3. Cost: %4 pesos. Thank you for using Telvana Metered Parking</translation>
    </message>
</context>
<context>
    <name>WelcomeViewController</name>
    <message>
        <source>ESTACIONAMIENTO TARIFADO</source>
        <translation>METERED PARKING</translation>
    </message>
    <message>
        <source>Orvane</source>
        <translation>Orvane</translation>
    </message>
</context>
</TS>
