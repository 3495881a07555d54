namespace lumo {}
