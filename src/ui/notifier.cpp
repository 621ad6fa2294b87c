// Notifications to the technician.
