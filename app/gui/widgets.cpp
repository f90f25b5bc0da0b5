#include "widgets.h"

#include "text_convert.h"

namespace gui {

GtkWidget *widget(GtkBuilder *builder, const char *id)
{
    return GTK_WIDGET(gtk_builder_get_object(builder, id));
}

bool is_checked(GtkWidget *chk)
{
    return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(chk)) != FALSE;
}

void set_checked(GtkWidget *chk, bool on)
{
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(chk), on ? TRUE : FALSE);
}

int entry_decimal(GtkWidget *entry)
{
    return str_2_int(gtk_entry_get_text(GTK_ENTRY(entry)));
}

gboolean swallow_press(GtkWidget *, GdkEvent *, gpointer)
{
    return TRUE;
}

}  // namespace gui
