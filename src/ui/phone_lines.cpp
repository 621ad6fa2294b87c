// The phones' lines the window and the tray show.
